#include "properties/Provider.h"

#include "base/SignalStack.h"

Provider::Provider(std::shared_ptr<Category const> category, const std::string& hostVersion)
    : _category(std::move(category)), _hostVersion(hostVersion)
{
}

Provider::~Provider() = default;

void Provider::monitorForChanges(const ChangeCallback&) {}

void Provider::close() {}

PropertyMap Provider::run(const std::shared_ptr<Category const>& category, const Collect& collect)
{
    PropertyCollector collector(*category);
    collect(collector);
    return collector.take();
}

std::future<PropertyMap> Provider::deferred(Collect collect) const
{
    return std::async(std::launch::deferred, &Provider::run, _category, std::move(collect));
}

std::future<PropertyMap> Provider::asynchronous(Collect collect) const
{
    return std::async(std::launch::async, [category = _category, collect = std::move(collect)] {
        const Base::SignalStack stack;
        return run(category, collect);
    });
}

std::future<PropertyMap> Provider::ready(PropertyMap properties)
{
    std::promise<PropertyMap> promise;
    promise.set_value(std::move(properties));
    return promise.get_future();
}
