// SPDX-License-Identifier: Apache-2.0
#include "properties/PropertyCollector.h"

#include <algorithm>

PropertyCollector::PropertyCollector(const Category& category, bool hostFrom20_1)
    : _category(category), _hostFrom20_1(hostFrom20_1)
{
}

bool PropertyCollector::selected(const PropertyKey& key) const
{
    const bool forHost = key.hosts == PropertyKey::Hosts::All ||
                         (key.hosts == PropertyKey::Hosts::From20_1) == _hostFrom20_1;
    return forHost && _category.selects(key.bit);
}

bool PropertyCollector::anySelected(PropertyKeys keys) const
{
    return std::any_of(keys.begin(), keys.end(), [this](const PropertyKey& key) { return selected(key); });
}

std::string PropertyCollector::indexedKey(const char* keyTemplate, int index)
{
    std::string key(keyTemplate);
    const std::size_t marker = key.find("%d");
    if (marker != std::string::npos) {
        key.replace(marker, 2, std::to_string(index));
    }
    return key;
}

std::optional<std::string> PropertyCollector::orUnavailable(std::string text)
{
    return text.empty() ? std::nullopt : std::optional<std::string>(std::move(text));
}

void PropertyCollector::unavailable(PropertyKeys keys)
{
    for (const PropertyKey& key : keys) {
        add(key, kUnavailable);
    }
}

void PropertyCollector::addKept(const PropertyMap& reading)
{
    _properties.insert(reading.begin(), reading.end());
}

void PropertyCollector::store(const char* key, std::string value)
{
    _properties.emplace(key, std::move(value));
}

PropertyMap PropertyCollector::take()
{
    for (auto& [key, value] : _beside) {
        store(key.c_str(), value.get());
    }
    _beside.clear();
    return std::move(_properties);
}
