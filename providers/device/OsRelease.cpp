// SPDX-License-Identifier: Apache-2.0
#include "providers/device/OsRelease.h"

#include "base/Descriptor.h"
#include "base/Logging.h"
#include "base/Utilities.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <sstream>

namespace {

constexpr std::size_t kMaximumBytes = 64 * 1024;

bool isName(const std::string& name)
{
    if (name.empty() || std::isdigit(static_cast<unsigned char>(name[0]))) {
        return false;
    }
    for (const char character : name) {
        if (!std::isalnum(static_cast<unsigned char>(character)) && character != '_') {
            return false;
        }
    }
    return true;
}

// The value that begins at `text`; none when a quote is left open.
std::optional<std::string> unquote(const std::string& text)
{
    std::string value;
    char quote = '\0';
    for (std::size_t at = 0; at < text.size(); ++at) {
        const char character = text[at];
        if (quote == '\'') {
            if (character == '\'') {
                quote = '\0';
            } else {
                value += character;
            }
        } else if (quote == '"') {
            if (character == '"') {
                quote = '\0';
            } else if (character == '\\' && at + 1 < text.size() &&
                       std::string("$`\"\\").find(text[at + 1]) != std::string::npos) {
                value += text[++at];
            } else {
                value += character;
            }
        } else if (character == '"' || character == '\'') {
            quote = character;
        } else if (character == '\\') {
            if (at + 1 < text.size()) {
                value += text[++at];
            }
        } else if (character == ' ' || character == '\t') {
            break;
        } else {
            value += character;
        }
    }
    if (quote != '\0') {
        return std::nullopt;
    }
    return value;
}

}  // namespace

OsRelease::Fields OsRelease::parse(const std::string& text)
{
    Fields fields;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t start = line.find_first_not_of(" \t\r");
        if (start == std::string::npos || line[start] == '#') {
            continue;
        }
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const std::size_t equals = line.find('=', start);
        if (equals == std::string::npos) {
            continue;
        }
        const std::string name = line.substr(start, equals - start);
        if (!isName(name)) {
            continue;
        }
        if (std::optional<std::string> value = unquote(line.substr(equals + 1))) {
            fields[name] = std::move(*value);
        }
    }
    return fields;
}

std::optional<OsRelease::Fields> OsRelease::read()
{
    for (const char* file : {"/etc/os-release", "/usr/lib/os-release"}) {
        // Never blocks: a FIFO or a device in its place is no release file.
        const Base::Descriptor descriptor(open(file, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
        struct stat status {};
        if (!descriptor || fstat(descriptor.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
            continue;
        }
        std::optional<std::string> text = Utilities::readDescriptor(descriptor.get(), kMaximumBytes);
        if (!text) {
            TRACE_ERROR << "Failed to read [" << file << "] error [" << std::strerror(errno) << "]" << std::endl;
            continue;
        }
        text->resize(std::min(text->size(), kMaximumBytes));  // the first 64 KiB
        return parse(*text);
    }
    TRACE_ERROR << "Failed to read the operating system's release file [/etc/os-release] or [/usr/lib/os-release]"
                << std::endl;
    return std::nullopt;
}
