// SPDX-License-Identifier: Apache-2.0
// Building categories the way the Initialise parser does, and reading a provider's reading at once.
#pragma once
#include "properties/Category.h"

#include <memory>

namespace TestSupport {
inline std::shared_ptr<Category const> category(const std::string& name, int32_t status = 2, int32_t filter = 0,
                                                std::map<std::string, std::string> config = {})
{
    return std::make_shared<Category>(Category{name, status, std::move(config), filter});
}
template <typename ProviderType>
auto readProvider(const std::string& name, int32_t status = 2, int32_t filter = 0, const std::string& host = "20.1")
{
    return ProviderType(category(name, status, filter), host).getProperties().get();
}
// `map` with the keys of `changes` set to their values, or with `unavailable` to "Unavailable".
inline PropertyMap with(PropertyMap map, const PropertyMap& changes, bool unavailable = false)
{
    for (const auto& [key, value] : changes) map[key] = unavailable ? "Unavailable" : value;
    return map;
}
}  // namespace TestSupport
