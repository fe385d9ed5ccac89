// SPDX-License-Identifier: Apache-2.0
// Category "Corvane": the library's own version.
#pragma once

#include "properties/Provider.h"

class CorvaneProvider : public ProviderOf<CorvaneProvider> {
public:
    static constexpr PropertyKey kKeys[] = {
        {"DEVICE_CORVANE_VERSION", 0x1, "version of this library"},
    };
    static constexpr const PropertyKey& kVersion = kKeys[0];

    using ProviderOf::ProviderOf;

    std::future<PropertyMap> getProperties() override;
};
