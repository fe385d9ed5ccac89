// SPDX-License-Identifier: Apache-2.0
// Category "ScreenSaver": the screen lock settings of IGEL OS's first xlock
// session, read with IGEL's `get` tool.
#pragma once

#include "properties/Provider.h"

#include <string>

class ScreenSaverProvider : public ProviderOf<ScreenSaverProvider> {
public:
    static constexpr PropertyKey kKeys[] = {
        {"DEVICE_SCREENSAVER_ENABLED", 0x01, "whether the screen locks when idle", "true/false", "false"},
        {"DEVICE_SCREENSAVER_SECURE", 0x02, "whether unlocking asks for a password", "true/false", "false"},
        {"DEVICE_SCREENSAVER_TIMEOUT", 0x04, "idle time before the screen locks", "seconds"},
        {"DEVICE_SCREENSAVER_FILENAME", 0x08, "custom logo of the locked screen", "", ""},
    };
    static constexpr const PropertyKey& kEnabled = kKeys[0];
    static constexpr const PropertyKey& kSecure = kKeys[1];
    static constexpr const PropertyKey& kTimeout = kKeys[2];
    static constexpr const PropertyKey& kFilename = kKeys[3];

    using ProviderOf::ProviderOf;

    std::future<PropertyMap> getProperties() override;

    // The timeout in seconds for IGEL's timeout text in minutes. Text that
    // does not start with a whole number of minutes (a negative one included)
    // is logged and given back unchanged.
    static std::string timeoutSeconds(const std::string& minutesText);
};
