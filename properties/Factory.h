// The process-wide registry from category name to provider create function.
#pragma once

#include "properties/Category.h"

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>

class Provider;

class Factory {
public:
    using CreateFunction = Provider* (*)(std::shared_ptr<Category const> category, const std::string& hostVersion);

    // Registers `create` for `name`; an existing registration stays.
    static void registerProvider(const std::string& name, CreateFunction create);

    // A new provider for the category's name (the caller owns it), or null
    // when no provider is registered under that name.
    static Provider* createProvider(std::shared_ptr<Category const> category, const std::string& hostVersion);

    static std::size_t registeredCount();

private:
    static std::mutex _mutex;
    static std::map<std::string, CreateFunction> _factories;
};
