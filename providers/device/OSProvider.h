// Category "OS": IGEL OS facts from IGEL's `get` and `get_unit_id` tools.
#pragma once

#include "properties/Provider.h"

#include <string>

class OSProvider : public ProviderOf<OSProvider> {
public:
    static constexpr PropertyKey kName{"DEVICE_OS_NAME", 0x01};
    static constexpr PropertyKey kVersion{"DEVICE_OS_VERSION", 0x04};
    static constexpr PropertyKey kDescription{"DEVICE_OS_DESCRIPTION", 0x02};
    static constexpr PropertyKey kType{"DEVICE_OS_TYPE", 0x08};
    static constexpr PropertyKey kPlatform{"DEVICE_OS_PLATFORM", 0x10};
    static constexpr PropertyKey kId{"DEVICE_OS_ID", 0x40};

    using ProviderOf::ProviderOf;

    std::future<PropertyMap> getProperties() override;

    static std::string getDeviceOS();

    // The platform word for a uname machine field: x86_64 is "x64", i686 "x86".
    static std::string platformName(const std::string& machine);
};
