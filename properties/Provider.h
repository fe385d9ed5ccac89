// The base of every property source. A provider serves one category: it
// declares its keys with their filter bits and produces a reading through a
// future that is deferred, asynchronous or ready at once.
#pragma once

#include "base/Version.h"
#include "properties/Category.h"
#include "properties/PropertyCollector.h"
#include "properties/PropertyMap.h"

#include <functional>
#include <future>
#include <memory>
#include <string>

class Provider {
public:
    using ChangeCallback = std::function<void(std::shared_ptr<Category const>)>;

    Provider(std::shared_ptr<Category const> category, const std::string& hostVersion);
    virtual ~Provider();

    Provider(const Provider&) = delete;
    Provider& operator=(const Provider&) = delete;

    virtual std::future<PropertyMap> getProperties() = 0;

    // Starts the provider's own watching; `callback` is called with the
    // provider's category whenever something changed. Default: nothing.
    virtual void monitorForChanges(const ChangeCallback& callback);

    // Stops threads, watches and connections. Default: nothing.
    virtual void close();

    const std::shared_ptr<Category const>& category() const { return _category; }
    const Base::Version& hostVersion() const { return _hostVersion; }

protected:
    // The three ways a reading is produced. `collect` fills a collector for
    // this provider's category; exceptions it throws travel in the future.
    using Collect = std::function<void(PropertyCollector&)>;
    std::future<PropertyMap> deferred(Collect collect) const;
    std::future<PropertyMap> asynchronous(Collect collect) const;
    static std::future<PropertyMap> ready(PropertyMap properties);

private:
    static PropertyMap run(const std::shared_ptr<Category const>& category, const Collect& collect);

    std::shared_ptr<Category const> _category;
    Base::Version _hostVersion;
};

// Gives a provider class the factory's create function and the base
// constructor:  class NameProvider : public ProviderOf<NameProvider> { ... };
template <typename Derived>
class ProviderOf : public Provider {
public:
    using Provider::Provider;

    static Provider* create(std::shared_ptr<Category const> category, const std::string& hostVersion)
    {
        return new Derived(std::move(category), hostVersion);
    }
};
