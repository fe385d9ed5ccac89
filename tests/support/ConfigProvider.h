// A provider for engine tests whose reading is its category's configuration:
// config {"DEVICE_A": "1"} reports DEVICE_A = 1. Special entries:
//   "throw"     the reading fails with a std::runtime_error carrying the value
//   "launch"    "async" runs the reading on its own thread (default: deferred)
//   "gate"      the reading waits until TestSupport::ConfigProvider::open()
// The values of a tag can be changed between readings with set() and erase();
// set(tag, "throw", text) makes its readings fail until erase(tag, "throw").
#pragma once

#include "properties/Factory.h"
#include "properties/Provider.h"

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace TestSupport {

class ConfigProvider : public Provider {
public:
    static constexpr const char* kName = "EngineTest";

    static Provider* create(std::shared_ptr<Category const> category, const std::string& hostVersion);
    static void registerWithFactory();

    ConfigProvider(std::shared_ptr<Category const> category, const std::string& hostVersion);
    ~ConfigProvider() override;

    std::future<PropertyMap> getProperties() override;
    void monitorForChanges(const ChangeCallback& callback) override;
    void close() override;

    // Overrides a value of every provider of `tag` (the config entry "tag").
    static void set(const std::string& tag, const std::string& key, const std::string& value);
    static void erase(const std::string& tag, const std::string& key);
    static void reset();

    // The gate: readings with "gate" block until open().
    static void closeGate();
    static void openGate();
    static bool waitUntilGateReached(int readers = 1);

    // What happened to providers, by tag.
    static int monitorCalls(const std::string& tag);
    static int closeCalls(const std::string& tag);
    static int readings(const std::string& tag);
    static int alive();

    // Reports a change through the callback received in monitorForChanges.
    static void notify(const std::string& tag);

private:
    PropertyMap read();
    std::string tag() const;

    ChangeCallback _callback;
};

}  // namespace TestSupport
