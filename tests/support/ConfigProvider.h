// SPDX-License-Identifier: Apache-2.0
// A provider for engine tests whose reading is what the test set for its tag (config "tag"); a "throw"
// entry makes it fail with that text. Config "async" reads on a thread of its own, "afterFirst" only
// the first time; "gate" holds a reading, once taken, until the gate is open. Config "slowWatch" gives it a
// change watch whose source connects only once the watch gate is open (or after five seconds).
#pragma once
#include "properties/Factory.h"
#include "properties/Provider.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <stdexcept>

namespace TestSupport {
class ConfigProvider : public ProviderOf<ConfigProvider> {
public:
    static constexpr const char* kName = "EngineTest";
    static inline std::mutex mutex;
    template <typename Work>
    static auto locked(Work work)
    {
        const std::lock_guard<std::mutex> lock(mutex);
        return work();
    }
    static inline std::condition_variable changed;
    static inline std::map<std::string, PropertyMap> values;
    static inline std::map<std::string, int> readCount, closeCount;
    static inline std::map<std::string, std::pair<ChangeCallback, std::shared_ptr<Category const>>> watchers;
    static inline bool gateOpen = true;
    static inline bool watchGateOpen = true;
    static inline int atGate = 0;

    static void reset()  // registers the provider and forgets every tag
    {
        Factory::registerProvider(kName, &create);
        locked([] { values.clear(), readCount.clear(), closeCount.clear(), gateOpen = watchGateOpen = true; });
    }
    static void watchGate(bool open) { locked([&] { watchGateOpen = open; }), changed.notify_all(); }
    static void set(const std::string& tag, PropertyMap reading) { locked([&] { values[tag] = reading; }); }
    static int readings(const std::string& tag) { return locked([&] { return readCount[tag]; }); }
    static int closes(const std::string& tag) { return locked([&] { return closeCount[tag]; }); }
    static void gate(bool open) { locked([&] { gateOpen = open; }), changed.notify_all(); }
    static void waitAtGate()
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [] { return atGate > 0; });
    }
    // Reports a change through the callback the provider of `tag` was given.
    static void notify(const std::string& tag)
    {
        const auto [callback, category] = locked([&] { return watchers[tag]; });
        callback(category);
    }
    using ProviderOf::ProviderOf;
    std::future<PropertyMap> getProperties() override
    {
        Collect collect = [this](PropertyCollector& properties) {
            for (const auto& [key, value] : read()) properties.add(PropertyKey{key.c_str(), 0x1}, value);
        };
        if (category()->config.count("afterFirst")) return deferredAfterFirst(collect);
        return category()->config.count("async") ? asynchronous(collect) : deferred(collect);
    }
    void monitorForChanges(const ChangeCallback& callback) override
    {
        locked([&] { watchers[tag()] = {callback, category()}; });
        if (category()->config.count("slowWatch")) watchChanges({.others = {std::make_shared<GatedSource>()}}, callback);
    }
    void close() override { locked([&] { ++closeCount[tag()]; }); }

private:
    // Connects (an eventfd that never announces anything) once the watch gate is open.
    struct GatedSource : Base::ChangeSource {
        int descriptor = -1;
        ~GatedSource() override { disconnect(); }
        std::string what() const override { return "the gated source"; }
        int connect(std::string&) override
        {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait_for(lock, std::chrono::seconds(5), [] { return watchGateOpen; });
            return descriptor = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        }
        Taken take() override { return Taken::nothing; }
        void disconnect() override { descriptor >= 0 && ::close(descriptor), descriptor = -1; }
    };
    std::string tag() const { return category()->config.at("tag"); }
    PropertyMap read() const
    {
        std::unique_lock<std::mutex> lock(mutex);
        ++readCount[tag()];
        PropertyMap reading = values[tag()];
        ++atGate, changed.notify_all();
        changed.wait(lock, [this] { return gateOpen || !category()->config.count("gate"); });
        --atGate;
        if (reading.count("throw")) throw std::runtime_error(reading["throw"]);
        return reading;
    }
};
}  // namespace TestSupport
