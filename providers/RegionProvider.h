// Category "Region": time zone offset, locale, language and keyboard layout.
#pragma once

#include "properties/Provider.h"

class RegionProvider : public ProviderOf<RegionProvider> {
public:
    using ProviderOf::ProviderOf;

    std::future<PropertyMap> getProperties() override;
};
