// Category "ScreenSaver": the screen lock settings of IGEL OS's first xlock
// session, read with IGEL's `get` tool.
#pragma once

#include "properties/Provider.h"

#include <string>

class ScreenSaverProvider : public ProviderOf<ScreenSaverProvider> {
public:
    static constexpr PropertyKey kEnabled{"DEVICE_SCREENSAVER_ENABLED", 0x01};
    static constexpr PropertyKey kSecure{"DEVICE_SCREENSAVER_SECURE", 0x02};
    static constexpr PropertyKey kTimeout{"DEVICE_SCREENSAVER_TIMEOUT", 0x04};
    static constexpr PropertyKey kFilename{"DEVICE_SCREENSAVER_FILENAME", 0x08};

    using ProviderOf::ProviderOf;

    std::future<PropertyMap> getProperties() override;

    // The timeout in seconds for IGEL's timeout text in minutes. Text that
    // does not start with a whole number of minutes (a negative one included)
    // is logged and given back unchanged.
    static std::string timeoutSeconds(const std::string& minutesText);
};
