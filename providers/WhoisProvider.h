// Category "Whois": public IP address, reverse name, ISP and country.
#pragma once

#include "properties/Provider.h"

class WhoisProvider : public ProviderOf<WhoisProvider> {
public:
    using ProviderOf::ProviderOf;

    std::future<PropertyMap> getProperties() override;
};
