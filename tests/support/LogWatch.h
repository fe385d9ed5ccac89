// SPDX-License-Identifier: Apache-2.0
// Reads what the library logged since the watch was made.
#pragma once
#include "support/TempDir.h"

namespace TestSupport {
class LogWatch {
public:
    std::string text() const
    {
        const std::string whole = readWhole(_file);
        return whole.size() >= _offset ? whole.substr(_offset) : whole;
    }
    bool contains(const std::string& needle) const { return text().find(needle) != std::string::npos; }
    std::size_t count(const std::string& needle) const
    {
        std::size_t found = 0;
        const std::string all = text();
        for (auto at = all.find(needle); at != std::string::npos; at = all.find(needle, at + 1)) ++found;
        return found;
    }
    static std::string logFile()
    {
        const char* file = getenv("CORVANE_LOGGING_FILE");
        return file != nullptr ? file : "/tmp/cvclient.log";
    }

private:
    std::string _file = logFile();
    std::size_t _offset = readWhole(_file).size();
};
}  // namespace TestSupport
