// Category "Corvane": the library's own version.
#pragma once

#include "properties/Provider.h"

class CorvaneProvider : public Provider {
public:
    static constexpr PropertyKey kVersion{"DEVICE_CORVANE_VERSION", 0x1};

    static Provider* create(std::shared_ptr<Category const> category, const std::string& hostVersion);

    CorvaneProvider(std::shared_ptr<Category const> category, const std::string& hostVersion);

    std::future<PropertyMap> getProperties() override;
};
