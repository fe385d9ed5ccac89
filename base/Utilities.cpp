// SPDX-License-Identifier: Apache-2.0
#include "base/Utilities.h"

#include "base/Descriptor.h"
#include "base/Logging.h"

#include <fcntl.h>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iomanip>
#include <iostream>
#include <iterator>
#include <limits>
#include <sstream>

namespace Utilities {

namespace {

bool isSpace(char c)
{
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

bool isHexDigit(char c)
{
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    return std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
}

}  // namespace

std::string& rtrim(std::string& text)
{
    const auto last = std::find_if_not(text.rbegin(), text.rend(), isSpace);
    text.erase(last.base(), text.end());
    return text;
}

std::string& ltrim(std::string& text)
{
    const auto first = std::find_if_not(text.begin(), text.end(), isSpace);
    text.erase(text.begin(), first);
    return text;
}

std::string& trim(std::string& text)
{
    return ltrim(rtrim(text));
}

std::string tolower(const std::string& text)
{
    std::string result(text);
    for (char& c : result) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return result;
}

std::string toupper(const std::string& text)
{
    std::string result(text);
    for (char& c : result) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return result;
}

std::string decodeHexDelimited(const std::string& text)
{
    std::string result(text);
    if (result.size() < 4) {
        return result;
    }
    for (std::size_t i = 1; i + 2 < result.size(); ++i) {
        if (result[i - 1] == '\\' && (result[i] == 'x' || result[i] == 'X') && isHexDigit(result[i + 1]) &&
            isHexDigit(result[i + 2])) {
            const char decoded = static_cast<char>(hexValue(result[i + 1]) * 16 + hexValue(result[i + 2]));
            result.replace(i - 1, 4, 1, decoded);
        }
    }
    return result;
}

bool existsFile(const std::string& path)
{
    return access(path.c_str(), R_OK) == 0;
}

std::string procNetTable(const std::string& table)
{
    // The kernel has /proc/thread-self (3.17 and later) or has not: asked once.
    static const bool threadSelf = existsFile("/proc/thread-self/net");
    return (threadSelf ? "/proc/thread-self/net/" : "/proc/net/") + table;
}

std::string getEnvironmentVariable(const std::string& name, const std::string& defaultValue)
{
    const char* value = std::getenv(name.c_str());
    return value != nullptr ? std::string(value) : defaultValue;
}

std::optional<std::string> readDescriptor(int descriptor, std::size_t limit)
{
    std::string text;
    char chunk[4096];
    while (text.size() <= limit) {
        const ssize_t got = ::read(descriptor, chunk, std::min(sizeof(chunk), limit + 1 - text.size()));
        if (got == 0) {
            break;
        }
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::nullopt;
        }
        text.append(chunk, static_cast<std::size_t>(got));
    }
    return text;
}

std::optional<std::string> readFile(const std::string& path)
{
    try {
        // Plain reads: a stream's buffer and locale cost more than the small
        // files read here at every check. A file that cannot be opened or
        // read reads as empty.
        std::string text;
        if (const Base::Descriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC)); file) {
            text = readDescriptor(file.get(), std::numeric_limits<std::size_t>::max() - 1).value_or("");
        }
        TRACE_VERBOSE << "Read bytes [" << text.size() << "] from [" << path << "]" << std::endl;
        return trim(text);
    } catch (const std::exception&) {
        TRACE_ERROR << "Failed to open [" << path << "]" << std::endl;
        return std::nullopt;
    }
}

std::string parseDateFromString(const std::string& text, const std::string& inputFormat,
                                const std::string& outputFormat)
{
    std::tm parts{};
    std::istringstream input(text);
    input >> std::get_time(&parts, inputFormat.c_str());
    if (input.fail() || input.bad()) {
        TRACE_ERROR << "Failed to parse time from text" << std::endl;
        return text;
    }
    try {
        std::ostringstream output;
        output.exceptions(std::ios::failbit | std::ios::badbit);
        output << std::put_time(&parts, outputFormat.c_str());
        return output.str();
    } catch (const std::ios::failure&) {
        TRACE_ERROR << "Failed to write time to string" << std::endl;
        return text;
    }
}

}  // namespace Utilities
