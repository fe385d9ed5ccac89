// SPDX-License-Identifier: Apache-2.0
#include "properties/Factory.h"

#include "base/Logging.h"
#include "properties/UnavailableProvider.h"

#include <iostream>

std::mutex Factory::_mutex;
std::map<std::string, Factory::Entry> Factory::_factories;

void Factory::registerProvider(const std::string& name, CreateFunction create)
{
    TRACE_VERBOSE << "Registering factory for category [" << name << "]" << std::endl;
    std::lock_guard<std::mutex> lock(_mutex);
    _factories.emplace(name, Entry{nullptr, create, {}});
}

void Factory::registerProviders(std::span<const Entry> table)
{
    for (const Entry& entry : table) {
        TRACE_VERBOSE << "Registering factory for category [" << entry.name << "]" << std::endl;
        std::lock_guard<std::mutex> lock(_mutex);
        _factories.emplace(entry.name, entry);
    }
}

Provider* Factory::createProvider(std::shared_ptr<Category const> category, const std::string& hostVersion)
{
    Entry entry{nullptr, nullptr, {}};
    {
        std::lock_guard<std::mutex> lock(_mutex);
        const auto found = _factories.find(category->name);
        if (found != _factories.end()) {
            entry = found->second;
        }
    }
    if (entry.create == nullptr) {
        TRACE_INFO << "Unable to find provider for category [" << category->name << "]" << std::endl;
        return nullptr;
    }
    if (!Base::LazyLibrary::requireFor(category->name, entry.libraries)) {
        return new UnavailableProvider(std::move(category), hostVersion, entry.keys);
    }
    TRACE_VERBOSE << "Instancing provider for category [" << category->name << "]" << std::endl;
    return entry.create(category, hostVersion);
}

std::size_t Factory::registeredCount()
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _factories.size();
}
