// SPDX-License-Identifier: Apache-2.0
#include "providers/igel/ScreenSaverProvider.h"

#include "base/Logging.h"
#include "providers/device/IgelTools.h"
#include "base/Utilities.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <iostream>

namespace {

std::string getSetting(const char* name, const char* defaultValue)
{
    return IgelTools::registry(std::string("sessions.xlock0.options.") + name).value_or(defaultValue);
}

bool contains(const std::string& text, const char* word)
{
    return text.find(word) != std::string::npos;
}

}  // namespace

std::future<PropertyMap> ScreenSaverProvider::getProperties()
{
    return deferredAfterFirst([](PropertyCollector& properties) {
        TRACE_FUNCTION("getProperties");
        TRACE_VERBOSE << "Getting SCREENSAVER properties..." << std::endl;
        properties.add(kEnabled, [] {
            return std::string(contains(Utilities::tolower(getSetting("autolock", "")), "true") ? "true" : "false");
        });
        properties.add(kSecure, [] {
            const std::string password = Utilities::tolower(getSetting("usepassword", ""));
            return std::string(contains(password, "user") || contains(password, "xlock") ? "true" : "false");
        });
        properties.add(kTimeout, [] { return timeoutSeconds(getSetting("timeout", "0")); });
        properties.add(kFilename, [] {
            std::string file = getSetting("custom_logo", "");
            return Utilities::trim(file);
        });
        TRACE_VERBOSE << "Done getting SCREENSAVER properties." << std::endl;
    });
}

std::string ScreenSaverProvider::timeoutSeconds(const std::string& minutesText)
{
    // Leading blanks and a sign are accepted and text after the number is
    // ignored; the number has to fit an int.
    const char* start = minutesText.c_str();
    char* end = nullptr;
    errno = 0;
    const long minutes = std::strtol(start, &end, 10);
    if (end == start || errno == ERANGE || minutes < INT_MIN || minutes > INT_MAX) {
        TRACE_ERROR << "Failed to convert screen-saver timeout [" << minutesText << "] to integer" << std::endl;
        return minutesText;
    }
    if (minutes < 0) {
        TRACE_ERROR << "Screen-saver timeout [" << minutesText << "] is negative" << std::endl;
        return minutesText;
    }
    // In 64 bits: the largest int of minutes in seconds does not fit 32.
    return std::to_string(static_cast<uint64_t>(minutes) * 60U);
}
