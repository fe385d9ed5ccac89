// SPDX-License-Identifier: Apache-2.0
#include "properties/Properties.h"

#include "base/Logging.h"
#include "base/ProgramAnswers.h"
#include "properties/Factory.h"

#include <algorithm>
#include <chrono>
#include <future>
#include <iostream>

Properties::Properties() = default;

void Properties::initialise(const std::vector<std::shared_ptr<Category const>>& categories,
                            const std::string& hostVersion)
{
    _properties.clear();
    for (const auto& category : categories) {
        if (category->status == 0) {
            continue;
        }
        if (Provider* provider = Factory::createProvider(category, hostVersion)) {
            _providers.emplace_back(category, std::shared_ptr<Provider>(provider));
        }
    }
}

PropertyMap Properties::readAllProperties() const
{
    TRACE_VERBOSE << "Getting properties from [" << _providers.size() << "] providers..." << std::endl;
    // The categories read here look at each program and its inputs once.
    const Base::ProgramAnswers::Round round;
    std::vector<std::pair<std::shared_ptr<Category const>, std::future<PropertyMap>>> futures;
    futures.reserve(_providers.size());
    for (const auto& [category, provider] : _providers) {
        futures.emplace_back(category, std::future<PropertyMap>());
    }
    // A provider's reading begins once its watch sees what changes (at once
    // when it was seen to before): those whose watch is ready first, in list
    // order, then the first of the others as soon as its watch is, and so on,
    // so that a watch still connecting holds up only its own provider's.
    std::vector<bool> launched(_providers.size(), false);
    for (std::size_t left = _providers.size(); left > 0;) {
        const std::size_t before = left;
        for (std::size_t i = 0; i < _providers.size(); ++i) {
            if (!launched[i] && _providers[i].second->monitoringReady()) {
                futures[i].second = _providers[i].second->getProperties();
                launched[i] = true;
                --left;
            }
        }
        if (left == before) {
            const std::size_t next =
                static_cast<std::size_t>(std::find(launched.begin(), launched.end(), false) - launched.begin());
            _providers[next].second->awaitMonitoring();
            futures[next].second = _providers[next].second->getProperties();
            launched[next] = true;
            --left;
        }
    }
    // The readings that run on this thread run now, while the asynchronous
    // ones run on theirs, rather than each after the readings before it in
    // the list have ended.
    for (auto& [category, future] : futures) {
        if (future.valid() && future.wait_for(std::chrono::seconds(0)) == std::future_status::deferred) {
            future.wait();
        }
    }
    PropertyMap result;
    for (auto& [category, future] : futures) {
        TRACE_VERBOSE << "Waiting for provider [" << category->name << "]..." << std::endl;
        try {
            PropertyMap properties = future.get();
            TRACE_VERBOSE << "Done waiting for provider [" << category->name << "] with [" << properties.size()
                        << "] properties." << std::endl;
            result.merge(properties);
        } catch (const std::exception& error) {
            TRACE_ERROR << "Failed to get properties from provider [" << category->name << "] with error ["
                      << error.what() << "]" << std::endl;
        }
    }
    TRACE_VERBOSE << "Done getting [" << result.size() << "] properties from [" << _providers.size() << "] providers."
                << std::endl;
    return result;
}

PropertyMap Properties::getProperties()
{
    _properties = readAllProperties();
    return _properties;
}

PropertyChanges Properties::getChanges()
{
    PropertyMap reading = readAllProperties();
    PropertyChanges changes;
    for (const auto& [key, value] : reading) {
        const auto previous = _properties.find(key);
        if (previous == _properties.end() || previous->second != value) {
            changes.updated.emplace_hint(changes.updated.end(), key, value);
        }
    }
    for (const auto& [key, value] : _properties) {
        if (reading.find(key) == reading.end()) {
            changes.removed.push_back(key);
        }
    }
    _properties = std::move(reading);
    return changes;
}

void Properties::monitorForChanges(const Provider::ChangeCallback& callback)
{
    if (_monitoring) {
        return;
    }
    _monitoring = true;
    // The watches connect to their services and displays at once, each on its
    // thread; each provider's is awaited just before the provider's first
    // reading begins (readAllProperties), so that it sees everything that
    // changes from then on, while the readings before it already run.
    for (const auto& [category, provider] : _providers) {
        TRACE_VERBOSE << "Monitoring for changes for provider [" << category->name << "]." << std::endl;
        provider->monitorForChanges(callback);
    }
}

void Properties::shutdown()
{
    TRACE_VERBOSE << "Shutting down all property providers..." << std::endl;
    _properties.clear();
    auto providers = std::move(_providers);
    _providers.clear();
    // Every watch is woken first, so that they end side by side.
    for (const auto& [category, provider] : providers) {
        provider->requestClose();
    }
    for (const auto& [category, provider] : providers) {
        TRACE_VERBOSE << "Closing provider [" << category->name << "]." << std::endl;
        provider->close();
    }
    TRACE_VERBOSE << "Done shutting down all property providers." << std::endl;
}
