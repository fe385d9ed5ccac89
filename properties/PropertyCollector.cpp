#include "properties/PropertyCollector.h"

PropertyCollector::PropertyCollector(const Category& category) : _category(category) {}

bool PropertyCollector::selected(const PropertyKey& key) const
{
    return _category.selects(key.bit);
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

void PropertyCollector::unavailable(std::initializer_list<PropertyKey> keys)
{
    for (const PropertyKey& key : keys) {
        add(key, kUnavailable);
    }
}

void PropertyCollector::store(const PropertyKey& key, std::string value)
{
    _properties.emplace(key.key, std::move(value));
}
