// Category "Display": the connected outputs of the X display.
#pragma once

#include "properties/Provider.h"

class DisplayProvider : public ProviderOf<DisplayProvider> {
public:
    using ProviderOf::ProviderOf;

    std::future<PropertyMap> getProperties() override;
};
