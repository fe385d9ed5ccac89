// SPDX-License-Identifier: Apache-2.0
#include "properties/Factory.h"

#include "base/Logging.h"

#include <iostream>

std::mutex Factory::_mutex;
std::map<std::string, Factory::CreateFunction> Factory::_factories;

void Factory::registerProvider(const std::string& name, CreateFunction create)
{
    TRACE_VERBOSE << "Registering factory for category [" << name << "]" << std::endl;
    std::lock_guard<std::mutex> lock(_mutex);
    _factories.emplace(name, create);
}

void Factory::registerProviders(std::span<const Entry> table)
{
    for (const Entry& entry : table) {
        registerProvider(entry.name, entry.create);
    }
}

Provider* Factory::createProvider(std::shared_ptr<Category const> category, const std::string& hostVersion)
{
    CreateFunction create = nullptr;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        const auto found = _factories.find(category->name);
        if (found != _factories.end()) {
            create = found->second;
        }
    }
    if (create == nullptr) {
        TRACE_INFO << "Unable to find provider for category [" << category->name << "]" << std::endl;
        return nullptr;
    }
    TRACE_VERBOSE << "Instancing provider for category [" << category->name << "]" << std::endl;
    return create(category, hostVersion);
}

std::size_t Factory::registeredCount()
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _factories.size();
}
