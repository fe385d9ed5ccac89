// Category "Location": the position from Wi-Fi geolocation and its address.
#pragma once

#include "properties/Provider.h"

class LocationProvider : public ProviderOf<LocationProvider> {
public:
    using ProviderOf::ProviderOf;

    std::future<PropertyMap> getProperties() override;
};
