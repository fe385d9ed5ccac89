// SPDX-License-Identifier: Apache-2.0
// The process-wide registry from category name to provider create function.
#pragma once

#include "base/LazyLibrary.h"
#include "properties/Category.h"
#include "properties/PropertyKey.h"

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>

class Provider;

class Factory {
public:
    using CreateFunction = Provider* (*)(std::shared_ptr<Category const> category, const std::string& hostVersion);

    // A category that has a provider: its name, the provider's create
    // function and the keys the provider can report for it.
    struct Entry {
        const char* name;
        CreateFunction create;
        PropertyKeys keys;
        // Whether its provider reaches web services (the policy's
        // restrictive reading leaves those out).
        bool makesWebRequests = false;
        // The platform libraries its provider calls into: when one cannot be
        // loaded, the category reports its keys' failure values instead.
        Base::LazyLibrary::Set libraries = 0;
    };

    // Registers `create` for `name`; an existing registration stays.
    static void registerProvider(const std::string& name, CreateFunction create);
    // Registers every entry of `table`, in its order.
    static void registerProviders(std::span<const Entry> table);

    // A new provider for the category's name (the caller owns it), or null
    // when no provider is registered under that name. When a library the
    // provider needs cannot be loaded, a provider of the failure values.
    static Provider* createProvider(std::shared_ptr<Category const> category, const std::string& hostVersion);

    static std::size_t registeredCount();

private:
    static std::mutex _mutex;
    static std::map<std::string, Entry> _factories;
};
