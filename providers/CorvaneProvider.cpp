#include "providers/CorvaneProvider.h"

#include "base/Logging.h"

#include <iostream>

Provider* CorvaneProvider::create(std::shared_ptr<Category const> category, const std::string& hostVersion)
{
    return new CorvaneProvider(std::move(category), hostVersion);
}

CorvaneProvider::CorvaneProvider(std::shared_ptr<Category const> category, const std::string& hostVersion)
    : Provider(std::move(category), hostVersion)
{
}

std::future<PropertyMap> CorvaneProvider::getProperties()
{
    return deferred([](PropertyCollector& properties) {
        TRACE_FUNCTION("getProperties");
        TRACE_VERBOSE << "Getting CORVANE properties..." << std::endl;
        properties.add(kVersion, CVCLIENT_VERSION);
        TRACE_VERBOSE << "Done getting CORVANE properties." << std::endl;
    });
}
