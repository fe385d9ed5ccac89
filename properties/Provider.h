// SPDX-License-Identifier: Apache-2.0
// The base of every property source. A provider serves one category: it
// declares its keys with their filter bits and produces a reading through a
// future that is deferred, asynchronous or ready at once.
#pragma once

#include "base/ChangeWatch.h"
#include "base/Version.h"
#include "properties/Category.h"
#include "properties/PropertyCollector.h"
#include "properties/PropertyMap.h"

#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
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

    // Returns once the change watch that monitorForChanges started, if any,
    // sees what changes: its sources that come and go connect meanwhile, so
    // every provider's watch may connect at once.
    void awaitMonitoring();
    // Whether awaitMonitoring() would return at once.
    bool monitoringReady() const;

    // Stops threads, watches and connections. Default: ends the change watch of
    // watchChanges(), if any; a provider that overrides it calls it too.
    virtual void close();
    // Asks the provider's threads to end without waiting for them, so that
    // every provider's end at once; close() follows and waits. Default: the
    // change watch's.
    virtual void requestClose();

    const std::shared_ptr<Category const>& category() const { return _category; }
    const Base::Version& hostVersion() const { return _hostVersion; }

    // Whether the host's version is `major`.`minor` or later.
    bool hostAtLeast(int major, int minor) const;

    // A future already satisfied with `value`: ready({}) is an empty reading.
    template <typename T = PropertyMap>
    static std::future<T> ready(T value)
    {
        std::promise<T> promise;
        promise.set_value(std::move(value));
        return promise.get_future();
    }

    // The first complete (non-empty) reading of a provider, kept for the
    // provider's life. Shared with the provider's workers, which may outlive
    // it; safe to use from any thread.
    class KeptReading {
    public:
        std::optional<PropertyMap> get() const;
        // Keeps `reading` when it is complete and none is kept yet; gives the
        // reading that holds from now on: the kept one, else `reading`.
        PropertyMap keep(PropertyMap reading);

    private:
        mutable std::mutex _mutex;
        std::optional<PropertyMap> _reading;
    };

protected:
    // The ways a reading is produced. `collect` fills a collector for this
    // provider's category; exceptions it throws travel in the future.
    using Collect = std::function<void(PropertyCollector&)>;
    std::future<PropertyMap> deferred(Collect collect) const;
    std::future<PropertyMap> asynchronous(Collect collect) const;
    // Collects at once, on the calling thread.
    std::future<PropertyMap> atOnce(const Collect& collect) const;
    // Deferred, except the provider's first reading, which runs on a thread
    // of its own beside the other categories: for readings whose first costs
    // far more than the next (programs whose answers are then kept, modules
    // loaded once).
    std::future<PropertyMap> deferredAfterFirst(Collect collect) const;

    // The provider's first complete reading, for providers that read once.
    const std::shared_ptr<KeptReading>& kept() const { return _kept; }

    // For monitorForChanges: reports a change through `callback` whenever one
    // of `sources` changes (see Base::ChangeWatch), from the moment
    // awaitMonitoring() returns; ended by close(), or with the provider.
    void watchChanges(const Base::ChangeWatch::Sources& sources, const ChangeCallback& callback);
    // The change watch's account of what it has seen (KeptWhileQuiet); null
    // while no watch was started.
    std::shared_ptr<const Base::ChangeWatch::Quiet> quiet() const
    {
        return _changeWatch ? _changeWatch->quiet() : nullptr;
    }

private:
    static PropertyMap run(const std::shared_ptr<Category const>& category, bool hostFrom20_1, const Collect& collect);

    std::shared_ptr<Category const> _category;
    Base::Version _hostVersion;
    std::shared_ptr<KeptReading> _kept = std::make_shared<KeptReading>();
    std::unique_ptr<Base::ChangeWatch> _changeWatch;
    mutable std::atomic<bool> _readBefore{false};
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
