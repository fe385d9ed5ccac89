// Categories "Igel" and "Custom": IGEL OS management facts, watched in real time.
#pragma once

#include "properties/Provider.h"

class IgelProvider : public ProviderOf<IgelProvider> {
public:
    using ProviderOf::ProviderOf;

    std::future<PropertyMap> getProperties() override;
};
