// SPDX-License-Identifier: Apache-2.0
// Category "OS": on IGEL OS its facts from IGEL's `get` and `get_unit_id`
// tools; on a generic Linux the os-release file's (see OSDetect).
#pragma once

#include "properties/Provider.h"

#include <string>

class OSProvider : public ProviderOf<OSProvider> {
public:
    static constexpr PropertyKey kKeys[] = {
        {"DEVICE_OS_NAME", 0x01, "operating system: IGEL, or os-release's NAME"},
        {"DEVICE_OS_VERSION", 0x04, "IGEL OS version, or os-release's VERSION_ID"},
        {"DEVICE_OS_DESCRIPTION", 0x02, "IGEL OS product name and id, or os-release's PRETTY_NAME"},
        {"DEVICE_OS_TYPE", 0x08, "kind of installation: Client"},
        {"DEVICE_OS_PLATFORM", 0x10, "processor architecture: x64, x86 or the machine name"},
        {"DEVICE_OS_ID", 0x40, "IGEL unit id (IGEL OS only)"},
    };
    static constexpr const PropertyKey& kName = kKeys[0];
    static constexpr const PropertyKey& kVersion = kKeys[1];
    static constexpr const PropertyKey& kDescription = kKeys[2];
    static constexpr const PropertyKey& kType = kKeys[3];
    static constexpr const PropertyKey& kPlatform = kKeys[4];
    static constexpr const PropertyKey& kId = kKeys[5];
    // The keys a generic Linux reads from its os-release file.
    static constexpr PropertyKeys kReleaseKeys{&kName, &kDescription + 1};

    using ProviderOf::ProviderOf;

    std::future<PropertyMap> getProperties() override;

    // "IGEL" on IGEL OS, else "Linux".
    static std::string getDeviceOS();

    // The platform word for a uname machine field: x86_64 is "x64", i686 "x86".
    static std::string platformName(const std::string& machine);

private:
    static void collectLinux(PropertyCollector& properties, const struct utsname& system);
};
