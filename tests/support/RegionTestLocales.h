// Locales for tests of the environment's locale, built with localedef (from
// Debian's locales package) into a directory of the test build rather than
// into the machine's locale archive. A process finds them through LOCPATH.
#pragma once

#include <string>

namespace TestSupport {

class RegionTestLocales {
public:
    // Builds the locales en_US.UTF-8, en_GB.UTF-8 and de_DE.UTF-8 in the
    // directory once; later calls, and processes running side by side, find
    // them there. Returns the directory for LOCPATH. Throws
    // std::runtime_error when localedef cannot build one.
    static std::string directory();
};

}  // namespace TestSupport
