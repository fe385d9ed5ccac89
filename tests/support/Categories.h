// Building categories the way the Initialise parser does.
#pragma once

#include "properties/Category.h"

#include <map>
#include <memory>
#include <string>

namespace TestSupport {

inline std::shared_ptr<Category const> category(const std::string& name, int32_t status = 2, int32_t filter = 0,
                                                std::map<std::string, std::string> config = {})
{
    auto made = std::make_shared<Category>();
    made->name = name;
    made->status = status;
    made->filter = filter;
    made->config = std::move(config);
    return made;
}

// Reads a provider's reading at once, as the collection does.
template <typename ProviderType>
auto readProvider(const std::string& name, int32_t status = 2, int32_t filter = 0, const std::string& host = "20.1")
{
    ProviderType provider(category(name, status, filter), host);
    return provider.getProperties().get();
}

}  // namespace TestSupport
