#include "properties/PropertyCollector.h"

PropertyCollector::PropertyCollector(const Category& category) : _category(category) {}

bool PropertyCollector::selected(const PropertyKey& key) const
{
    return _category.selects(key.bit);
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
