// SPDX-License-Identifier: Apache-2.0
// Builds one provider's reading: applies the key selection rule before every
// key, runs a value's work only when its key is selected, and fills in
// "Unavailable" for facts that cannot be determined.
#pragma once

#include "base/SignalStack.h"
#include "properties/Category.h"
#include "properties/PropertyKey.h"
#include "properties/PropertyMap.h"

#include <future>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

class PropertyCollector {
public:
    static constexpr const char* kUnavailable = "Unavailable";

    // `hostFrom20_1`: whether the host's version is 20.1 or later, which
    // decides the keys that are only for some hosts (PropertyKey::hosts).
    explicit PropertyCollector(const Category& category, bool hostFrom20_1 = true);

    bool selected(const PropertyKey& key) const;
    // Whether any key of `keys` (a key table or a run of one) is selected.
    bool anySelected(PropertyKeys keys) const;

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
            store(key.key, resolve(std::forward<Value>(value)()));
        } else {
            store(key.key, std::string(std::forward<Value>(value)));
        }
    }

    // Like add() with a function, but when `sideBySide` the function runs
    // beside the rest of the reading (beside()), and the value is in place
    // once the reading is taken: for facts each of which starts a program.
    template <typename Work>
    void addBeside(const PropertyKey& key, bool sideBySide, Work work)
    {
        if (!sideBySide) {
            add(key, std::move(work));
        } else if (selected(key)) {
            _beside.emplace_back(key.key, beside(true, [work = std::move(work)] { return resolve(work()); }));
        }
    }

    // Part of a reading run beside the rest of it: on a thread of its own
    // (with the library's signal stack) when `sideBySide`, else once its
    // result is asked for, as also when no thread is left for it.
    template <typename Work>
    static std::future<std::invoke_result_t<Work>> beside(bool sideBySide, Work work)
    {
        if (!sideBySide) {
            return std::async(std::launch::deferred, std::move(work));
        }
        return std::async(std::launch::async | std::launch::deferred, [work = std::move(work)] {
            const Base::SignalStack stack;
            return work();
        });
    }

    // Adds the key of item `index` of a group, `key` being its template.
    template <typename Value>
    void addIndexed(const PropertyKey& key, int index, Value&& value)
    {
        if (!selected(key)) {
            return;
        }
        const std::string name = indexedKey(key.key, index);
        add(PropertyKey{name.c_str(), key.bit, key.meaning, key.unit, key.failure, key.hosts},
            std::forward<Value>(value));
    }

    // The key or text of item `index` for a template: its first "%d" becomes
    // the index; a text without one comes back unchanged.
    static std::string indexedKey(const char* keyTemplate, int index);

    // A text as a value: empty text is a fact that could not be determined.
    static std::optional<std::string> orUnavailable(std::string text);

    // Adds every selected key of `keys` with the value "Unavailable".
    void unavailable(PropertyKeys keys);

    // Adds the keys of a kept reading of the same category, except those
    // already added.
    void addKept(const PropertyMap& reading);

    const PropertyMap& properties() const { return _properties; }
    // The reading, once the values added beside it are in place; the
    // exception of one that failed travels on.
    PropertyMap take();

private:
    static std::string resolve(std::string value) { return value; }
    static std::string resolve(std::optional<std::string> value)
    {
        return value ? std::move(*value) : std::string(kUnavailable);
    }
    void store(const char* key, std::string value);

    const Category& _category;
    bool _hostFrom20_1;
    PropertyMap _properties;
    std::vector<std::pair<std::string, std::future<std::string>>> _beside;
};
