#include "support/ConfigProvider.h"

#include <chrono>
#include <stdexcept>
#include <thread>

namespace TestSupport {

namespace {

struct Shared {
    std::mutex mutex;
    std::condition_variable changed;
    std::map<std::string, std::map<std::string, std::string>> overrides;
    std::map<std::string, std::map<std::string, std::string>> erased;
    std::map<std::string, int> monitors;
    std::map<std::string, int> closes;
    std::map<std::string, int> readings;
    std::map<std::string, ConfigProvider*> byTag;
    bool gateOpen = true;
    int atGate = 0;
    int alive = 0;
};

Shared& shared()
{
    static Shared state;
    return state;
}

}  // namespace

Provider* ConfigProvider::create(std::shared_ptr<Category const> category, const std::string& hostVersion)
{
    return new ConfigProvider(std::move(category), hostVersion);
}

void ConfigProvider::registerWithFactory()
{
    Factory::registerProvider(kName, &ConfigProvider::create);
}

ConfigProvider::ConfigProvider(std::shared_ptr<Category const> category, const std::string& hostVersion)
    : Provider(std::move(category), hostVersion)
{
    std::lock_guard<std::mutex> lock(shared().mutex);
    ++shared().alive;
    shared().byTag[tag()] = this;
}

ConfigProvider::~ConfigProvider()
{
    std::lock_guard<std::mutex> lock(shared().mutex);
    --shared().alive;
    if (shared().byTag[tag()] == this) {
        shared().byTag.erase(tag());
    }
}

std::string ConfigProvider::tag() const
{
    const auto found = category()->config.find("tag");
    return found != category()->config.end() ? found->second : category()->name;
}

PropertyMap ConfigProvider::read()
{
    const auto& config = category()->config;
    const std::string me = tag();
    if (config.count("gate") != 0) {
        std::unique_lock<std::mutex> lock(shared().mutex);
        ++shared().atGate;
        shared().changed.notify_all();
        shared().changed.wait(lock, [] { return shared().gateOpen; });
        --shared().atGate;
    }
    std::lock_guard<std::mutex> lock(shared().mutex);
    ++shared().readings[me];
    if (const auto failure = config.find("throw"); failure != config.end()) {
        throw std::runtime_error(failure->second);
    }
    if (const auto failure = shared().overrides[me].find("throw"); failure != shared().overrides[me].end()) {
        throw std::runtime_error(failure->second);
    }
    PropertyMap properties;
    for (const auto& [key, value] : config) {
        if (key.rfind("DEVICE_", 0) == 0) {
            properties.emplace(key, value);
        }
    }
    for (const auto& [key, value] : shared().overrides[me]) {
        if (key.rfind("DEVICE_", 0) == 0) {
            properties[key] = value;
        }
    }
    for (const auto& [key, ignored] : shared().erased[me]) {
        properties.erase(key);
    }
    return properties;
}

std::future<PropertyMap> ConfigProvider::getProperties()
{
    const auto launch = category()->config.find("launch");
    Collect collect = [this](PropertyCollector& properties) {
        for (auto& [key, value] : read()) {
            properties.add(PropertyKey{key.c_str(), 0x1}, value);
        }
    };
    if (launch != category()->config.end() && launch->second == "async") {
        return asynchronous(std::move(collect));
    }
    return deferred(std::move(collect));
}

void ConfigProvider::monitorForChanges(const ChangeCallback& callback)
{
    std::lock_guard<std::mutex> lock(shared().mutex);
    ++shared().monitors[tag()];
    _callback = callback;
}

void ConfigProvider::close()
{
    std::lock_guard<std::mutex> lock(shared().mutex);
    ++shared().closes[tag()];
}

void ConfigProvider::set(const std::string& tag, const std::string& key, const std::string& value)
{
    std::lock_guard<std::mutex> lock(shared().mutex);
    shared().overrides[tag][key] = value;
    shared().erased[tag].erase(key);
}

void ConfigProvider::erase(const std::string& tag, const std::string& key)
{
    std::lock_guard<std::mutex> lock(shared().mutex);
    shared().overrides[tag].erase(key);
    shared().erased[tag][key] = "";
}

void ConfigProvider::reset()
{
    std::lock_guard<std::mutex> lock(shared().mutex);
    shared().overrides.clear();
    shared().erased.clear();
    shared().monitors.clear();
    shared().closes.clear();
    shared().readings.clear();
    shared().gateOpen = true;
}

void ConfigProvider::closeGate()
{
    std::lock_guard<std::mutex> lock(shared().mutex);
    shared().gateOpen = false;
}

void ConfigProvider::openGate()
{
    std::lock_guard<std::mutex> lock(shared().mutex);
    shared().gateOpen = true;
    shared().changed.notify_all();
}

bool ConfigProvider::waitUntilGateReached(int readers)
{
    std::unique_lock<std::mutex> lock(shared().mutex);
    return shared().changed.wait_for(lock, std::chrono::seconds(10),
                                     [readers] { return shared().atGate >= readers; });
}

int ConfigProvider::monitorCalls(const std::string& tag)
{
    std::lock_guard<std::mutex> lock(shared().mutex);
    return shared().monitors[tag];
}

int ConfigProvider::closeCalls(const std::string& tag)
{
    std::lock_guard<std::mutex> lock(shared().mutex);
    return shared().closes[tag];
}

int ConfigProvider::readings(const std::string& tag)
{
    std::lock_guard<std::mutex> lock(shared().mutex);
    return shared().readings[tag];
}

int ConfigProvider::alive()
{
    std::lock_guard<std::mutex> lock(shared().mutex);
    return shared().alive;
}

void ConfigProvider::notify(const std::string& tag)
{
    ChangeCallback callback;
    std::shared_ptr<Category const> category;
    {
        std::lock_guard<std::mutex> lock(shared().mutex);
        const auto found = shared().byTag.find(tag);
        if (found == shared().byTag.end()) {
            return;
        }
        callback = found->second->_callback;
        category = found->second->category();
    }
    if (callback) {
        callback(category);
    }
}

}  // namespace TestSupport
