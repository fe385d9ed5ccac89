// SPDX-License-Identifier: Apache-2.0
// Dotted version numbers of up to four parts; -1 marks a part not given.
#pragma once

#include <cstdint>
#include <string>

namespace Base {

class Version {
public:
    explicit Version(const std::string& text);
    Version(int16_t major, int16_t minor, int16_t build, int16_t revision);

    bool LessThan(const Version& other) const;
    // Whether this is `major`.`minor` or later: !LessThan(Version(major, minor, -1, -1)), without making
    // (and logging) that version.
    bool AtLeast(int16_t major, int16_t minor) const;
    std::string ToString() const;

    int16_t major() const { return _major; }
    int16_t minor() const { return _minor; }
    int16_t build() const { return _build; }
    int16_t revision() const { return _revision; }

private:
    void logValue() const;

    int16_t _major = -1;
    int16_t _minor = -1;
    int16_t _build = -1;
    int16_t _revision = -1;
};

}  // namespace Base
