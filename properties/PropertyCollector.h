// Builds one provider's reading: applies the key selection rule before every
// key, runs a value's work only when its key is selected, and fills in
// "Unavailable" for facts that cannot be determined.
#pragma once

#include "properties/Category.h"
#include "properties/PropertyMap.h"

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

// A key a provider can report, with the filter bit that selects it.
struct PropertyKey {
    const char* key;
    uint32_t bit;
};

class PropertyCollector {
public:
    static constexpr const char* kUnavailable = "Unavailable";

    explicit PropertyCollector(const Category& category);

    bool selected(const PropertyKey& key) const;

    // Adds `key` when selected. `value` is a string, or a function giving a
    // string or an optional string (empty optional: "Unavailable"); the
    // function runs only when the key is selected.
    template <typename Value>
    void add(const PropertyKey& key, Value&& value)
    {
        if (!selected(key)) {
            return;
        }
        if constexpr (std::is_invocable_v<Value>) {
            store(key, resolve(std::forward<Value>(value)()));
        } else {
            store(key, std::string(std::forward<Value>(value)));
        }
    }

    // Adds the key of item `index` of a group: `key.key` is a template whose
    // "%d" is replaced by the index (DEVICE_SMARTCARDREADER_%d_NAME).
    template <typename Value>
    void addIndexed(const PropertyKey& key, int index, Value&& value)
    {
        if (!selected(key)) {
            return;
        }
        const std::string name = indexedKey(key.key, index);
        add(PropertyKey{name.c_str(), key.bit}, std::forward<Value>(value));
    }

    static std::string indexedKey(const char* keyTemplate, int index);

    // Adds every selected key of `keys` with the value "Unavailable".
    void unavailable(std::initializer_list<PropertyKey> keys);

    const PropertyMap& properties() const { return _properties; }
    PropertyMap take() { return std::move(_properties); }

private:
    static std::string resolve(std::string value) { return value; }
    static std::string resolve(std::optional<std::string> value)
    {
        return value ? std::move(*value) : std::string(kUnavailable);
    }
    void store(const PropertyKey& key, std::string value);

    const Category& _category;
    PropertyMap _properties;
};
