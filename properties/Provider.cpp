// SPDX-License-Identifier: Apache-2.0
#include "properties/Provider.h"

#include "base/SignalStack.h"

Provider::Provider(std::shared_ptr<Category const> category, const std::string& hostVersion)
    : _category(std::move(category)), _hostVersion(hostVersion)
{
}

Provider::~Provider() = default;

void Provider::monitorForChanges(const ChangeCallback&) {}

void Provider::close()
{
    if (_changeWatch) {
        _changeWatch->stop();
    }
}

void Provider::requestClose()
{
    if (_changeWatch) {
        _changeWatch->requestStop();
    }
}

void Provider::watchChanges(const Base::ChangeWatch::Sources& sources, const ChangeCallback& callback)
{
    if (!_changeWatch) {
        _changeWatch = std::make_unique<Base::ChangeWatch>(_category->name);
    }
    std::weak_ptr<Category const> category = _category;
    _changeWatch->begin(sources, [callback, category] {
        if (const auto watched = category.lock()) {
            callback(watched);
        }
    });
}

void Provider::awaitMonitoring()
{
    if (_changeWatch) {
        _changeWatch->awaitStart();
    }
}

bool Provider::monitoringReady() const
{
    return !_changeWatch || _changeWatch->started();
}

bool Provider::hostAtLeast(int major, int minor) const
{
    return _hostVersion.AtLeast(static_cast<int16_t>(major), static_cast<int16_t>(minor));
}

PropertyMap Provider::run(const std::shared_ptr<Category const>& category, bool hostFrom20_1, const Collect& collect)
{
    PropertyCollector collector(*category, hostFrom20_1);
    collect(collector);
    return collector.take();
}

std::future<PropertyMap> Provider::deferred(Collect collect) const
{
    return std::async(std::launch::deferred, &Provider::run, _category, hostAtLeast(20, 1), std::move(collect));
}

std::future<PropertyMap> Provider::asynchronous(Collect collect) const
{
    return std::async(std::launch::async, [category = _category, host = hostAtLeast(20, 1),
                                           collect = std::move(collect)] {
        const Base::SignalStack stack;
        return run(category, host, collect);
    });
}

std::future<PropertyMap> Provider::deferredAfterFirst(Collect collect) const
{
    return _readBefore.exchange(true) ? deferred(std::move(collect)) : asynchronous(std::move(collect));
}

std::future<PropertyMap> Provider::atOnce(const Collect& collect) const
{
    std::promise<PropertyMap> promise;
    try {
        promise.set_value(run(_category, hostAtLeast(20, 1), collect));
    } catch (...) {
        promise.set_exception(std::current_exception());
    }
    return promise.get_future();
}

std::optional<PropertyMap> Provider::KeptReading::get() const
{
    const std::lock_guard lock(_mutex);
    return _reading;
}

PropertyMap Provider::KeptReading::keep(PropertyMap reading)
{
    const std::lock_guard lock(_mutex);
    if (!_reading && !reading.empty()) {
        _reading = std::move(reading);
    }
    return _reading ? *_reading : reading;
}
