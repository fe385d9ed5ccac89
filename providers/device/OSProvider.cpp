#include "providers/device/OSProvider.h"

#include "base/Logging.h"
#include "base/ProgramOutput.h"
#include "base/Utilities.h"

#include <sys/utsname.h>

#include <iostream>

namespace {

constexpr const char* kOSName = "IGEL";

// One fact from IGEL's registry tool; empty when it cannot tell.
std::string registryText(const char* key)
{
    return Base::readProgramOutput("get", {key}).value_or("");
}

}  // namespace

std::future<PropertyMap> OSProvider::getProperties()
{
    return deferred([](PropertyCollector& properties) {
        TRACE_FUNCTION("getProperties");
        TRACE_VERBOSE << "Getting OS properties..." << std::endl;
        utsname system{};
        if (uname(&system) != 0) {
            TRACE_ERROR << "Failed to get OS with error [-1]" << std::endl;
            properties.unavailable(kKeys);
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
                std::optional<std::string> id = Base::readProgramOutput("get_unit_id", {});
                return id && !id->empty() ? id : std::nullopt;
            });
        }
        TRACE_VERBOSE << "Done getting OS properties." << std::endl;
    });
}

std::string OSProvider::getDeviceOS()
{
    return kOSName;
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
