// SPDX-License-Identifier: Apache-2.0
#include "providers/device/OSProvider.h"

#include "base/Logging.h"
#include "base/Utilities.h"
#include "providers/device/IgelTools.h"
#include "providers/device/OSDetect.h"
#include "providers/device/OsRelease.h"

#include <sys/utsname.h>

#include <iostream>

namespace {

constexpr const char* kOSName = "IGEL";
constexpr const char* kLinuxName = "Linux";

// One fact from IGEL's registry tool; empty when it cannot tell.
std::string registryText(const char* key)
{
    return IgelTools::registry(key).value_or("");
}

}  // namespace

std::future<PropertyMap> OSProvider::getProperties()
{
    return deferredAfterFirst([](PropertyCollector& properties) {
        TRACE_FUNCTION("getProperties");
        TRACE_VERBOSE << "Getting OS properties..." << std::endl;
        utsname system{};
        if (uname(&system) != 0) {
            TRACE_ERROR << "Failed to get OS with error [-1]" << std::endl;
            properties.unavailable(kKeys);
        } else if (!OSDetect::IsIgel()) {
            collectLinux(properties, system);
        } else {
            properties.add(kName, kOSName);
            properties.add(kVersion, [] { return registryText("product.version"); });
            properties.add(kDescription, [] {
                return registryText("product.productname") + " (" +
                       Utilities::readFile("/etc/productid").value_or("") + ")";
            });
            properties.add(kType, "Client");
            properties.add(kPlatform, platformName(system.machine));
            properties.add(kId, []() -> std::optional<std::string> {
                std::optional<std::string> id = IgelTools::unitId();
                return id && !id->empty() ? id : std::nullopt;
            });
        }
        TRACE_VERBOSE << "Done getting OS properties." << std::endl;
    });
}

std::string OSProvider::getDeviceOS()
{
    return OSDetect::IsIgel() ? kOSName : kLinuxName;
}

void OSProvider::collectLinux(PropertyCollector& properties, const utsname& system)
{
    // The release file is read only for the keys that come from it.
    const std::optional<OsRelease::Fields> release =
        properties.anySelected(kReleaseKeys) ? OsRelease::read() : std::nullopt;
    // os-release's own defaults stand for a missing NAME and PRETTY_NAME; a
    // missing VERSION_ID is not known.
    const auto field = [&release](const char* name, const char* fallback) -> std::optional<std::string> {
        if (!release) {
            return std::nullopt;
        }
        const auto found = release->find(name);
        if (found != release->end() && !found->second.empty()) {
            return found->second;
        }
        return fallback != nullptr ? std::optional<std::string>(fallback) : std::nullopt;
    };
    properties.add(kName, [&] { return field("NAME", "Linux"); });
    properties.add(kVersion, [&] { return field("VERSION_ID", nullptr); });
    properties.add(kDescription, [&] { return field("PRETTY_NAME", "Linux"); });
    properties.add(kType, "Client");
    properties.add(kPlatform, platformName(system.machine));
    // Only IGEL's tools know the unit id.
    properties.add(kId, "Unavailable");
}

std::string OSProvider::platformName(const std::string& machine)
{
    if (machine == "x86_64") {
        return "x64";
    }
    if (machine == "i686") {
        return "x86";
    }
    return machine;
}
