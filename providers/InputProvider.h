// Category "Input": keyboards, pointing devices, touch screens and pens.
#pragma once

#include "properties/Provider.h"

class InputProvider : public ProviderOf<InputProvider> {
public:
    using ProviderOf::ProviderOf;

    std::future<PropertyMap> getProperties() override;
};
