// SPDX-License-Identifier: Apache-2.0
#include "properties/UnavailableProvider.h"

#include <string_view>

std::future<PropertyMap> UnavailableProvider::getProperties()
{
    return atOnce([keys = _keys](PropertyCollector& properties) { addFailures(properties, keys); });
}

void UnavailableProvider::addFailures(PropertyCollector& properties, PropertyKeys keys)
{
    for (const PropertyKey& key : keys) {
        if (key.failure != nullptr && std::string_view(key.key).find("%d") == std::string_view::npos) {
            properties.add(key, key.failure);
        }
    }
}
