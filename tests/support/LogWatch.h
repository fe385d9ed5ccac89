// Reads what the library logged since the watch was made.
#pragma once

#include "support/TempDir.h"

#include <cstdlib>
#include <string>

namespace TestSupport {

class LogWatch {
public:
    LogWatch() : _file(logFile()), _offset(readWhole(_file).size()) {}

    std::string text() const
    {
        const std::string whole = readWhole(_file);
        return whole.size() >= _offset ? whole.substr(_offset) : whole;
    }
    bool contains(const std::string& needle) const { return text().find(needle) != std::string::npos; }
    std::size_t count(const std::string& needle) const
    {
        const std::string all = text();
        std::size_t found = 0;
        for (std::size_t at = all.find(needle); at != std::string::npos; at = all.find(needle, at + 1)) {
            ++found;
        }
        return found;
    }

    static std::string logFile()
    {
        const char* file = std::getenv("CORVANE_LOGGING_FILE");
        return file != nullptr ? file : "/tmp/cvclient.log";
    }

private:
    std::string _file;
    std::size_t _offset;
};

}  // namespace TestSupport
