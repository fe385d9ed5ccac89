// SPDX-License-Identifier: Apache-2.0
#include "base/Version.h"

#include "base/Logging.h"

#include <array>
#include <iostream>
#include <sstream>

namespace Base {

Version::Version(const std::string& text)
{
    std::istringstream stream(text);
    std::array<int16_t*, 4> parts{&_major, &_minor, &_build, &_revision};
    for (int16_t* part : parts) {
        // Text that ends before the part leaves it at -1; characters that do
        // not start a number make it 0; out-of-range values are clamped.
        stream >> *part;
        if (stream.fail()) {
            break;
        }
        stream.get();
        if (!stream) {
            break;
        }
    }
    logValue();
}

Version::Version(int16_t major, int16_t minor, int16_t build, int16_t revision)
    : _major(major), _minor(minor), _build(build), _revision(revision)
{
    logValue();
}

void Version::logValue() const
{
    TRACE_FUNCTION("Version");
    TRACE_VERBOSE << "Version number set to [" << _major << "." << _minor << "." << _build << "." << _revision << "]"
                << std::endl;
}

bool Version::LessThan(const Version& other) const
{
    const std::array<int16_t, 4> mine{_major, _minor, _build, _revision};
    const std::array<int16_t, 4> theirs{other._major, other._minor, other._build, other._revision};
    return mine < theirs;
}

bool Version::AtLeast(int16_t major, int16_t minor) const
{
    const std::array<int16_t, 4> mine{_major, _minor, _build, _revision};
    const std::array<int16_t, 4> least{major, minor, -1, -1};
    return !(mine < least);
}

std::string Version::ToString() const
{
    std::string text;
    const std::array<int16_t, 4> parts{_major, _minor, _build, _revision};
    for (std::size_t i = 0; i < parts.size() && parts[i] >= 0; ++i) {
        if (i > 0) {
            text += '.';
        }
        text += std::to_string(parts[i]);
    }
    return text;
}

}  // namespace Base
