// Category "Corvane": the library's own version.
#pragma once

#include "properties/Provider.h"

class CorvaneProvider : public ProviderOf<CorvaneProvider> {
public:
    static constexpr PropertyKey kVersion{"DEVICE_CORVANE_VERSION", 0x1};

    using ProviderOf::ProviderOf;

    std::future<PropertyMap> getProperties() override;
};
