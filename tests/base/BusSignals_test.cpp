// SPDX-License-Identifier: Apache-2.0
// A change watch of a service on the system bus: python-dbusmock services on the test's private bus, read through
// the real sd-bus. The service's signals, its leaving and its coming back are changes; another service's are not,
// nor are the mock's own signals of every method called.
#include "base/BusSignals.h"
#include "base/ChangeWatch.h"

#include "support/MainLoop.h"
#include "support/SystemBus.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>

using TestSupport::BusService;

namespace {
constexpr const char* kName = "org.example.Watched";
constexpr const char* kPath = "/org/example/Watched";

std::unique_ptr<BusService> service(const std::string& name, const std::string& path)
{
    auto started = std::make_unique<BusService>(name, std::vector<std::string>{name, path, name});
    started->addProperty(path, name, "Level", g_variant_new_int32(0));
    return started;
}
}  // namespace

TEST(BusSignals, TheServicesSignalsAndItsComingAndGoingAreChangesUntilStop)
{
    EXPECT_EQ(Base::BusSignals::pathOf("org.freedesktop.hostname1"), "/org/freedesktop/hostname1");
    for (const auto& [interface, announces] : std::initializer_list<std::pair<const char*, bool>>{
             {"org.freedesktop.DBus.ObjectManager", true}, {"org.freedesktop.UPower.Device", true},
             {"org.freedesktop.UPowerX", false}, {"org.freedesktop.DBus.Mock", false}, {nullptr, false}}) {
        EXPECT_EQ(Base::BusSignals::announces("org.freedesktop.UPower", interface), announces);
    }
    TestSupport::SystemBus::instance();
    auto watched = service(kName, kPath);
    const auto other = service("org.example.Other", "/org/example/Other");
    const auto descriptors = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    };
    std::atomic<int> changes{0};
    Base::ChangeWatch watch("Test");
    ASSERT_TRUE(watch.start({.busServices = {kName}}, [&changes] { ++changes; }));
    const struct {
        const char* what;
        std::function<void()> step;
        bool change;
    } steps[] = {
        {"a property", [&] { watched->setProperty(kPath, kName, "Level", g_variant_new_int32(1)); }, true},
        {"another service's property",
         [&] { other->setProperty("/org/example/Other", "org.example.Other", "Level", g_variant_new_int32(1)); }, false},
        {"the service leaves", [&] { watched.reset(); }, true},
        {"the service comes back", [&] { watched = service(kName, kPath); }, true},
        {"a property of the new one", [&] { watched->setProperty(kPath, kName, "Level", g_variant_new_int32(2)); }, true},
    };
    for (const auto& step : steps) {
        const int before = changes;
        step.step();
        EXPECT_EQ(TestSupport::waitUntil([&] { return changes > before; }, std::chrono::milliseconds(step.change ? 5000 : 200)),
                  step.change)
            << step.what;
    }
    watch.stop();
    const auto opened = descriptors();
    ASSERT_TRUE(watch.start({.busServices = {kName}}, [&changes] { ++changes; }));
    EXPECT_EQ(descriptors(), opened + 2);  // the bus connection and the thread's wake descriptor
    watch.stop();
    EXPECT_EQ(descriptors(), opened);  // the bus connection, and with it its matches, is gone
    const int stopped = changes;
    watched->setProperty(kPath, kName, "Level", g_variant_new_int32(3));
    EXPECT_FALSE(TestSupport::waitUntil([&] { return changes > stopped; }, std::chrono::milliseconds(200)));
}

// Without a system bus the service is not there at all; with one it is there, running or not.
TEST(BusSignals, NoSystemBusIsASourceNotThereAtAll)
{
    TestSupport::SystemBus::instance();
    Base::BusSignals signals(kName);
    std::string why;
    {
        const TestSupport::ScopedEnv noBus{"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/system_bus_socket"};
        EXPECT_LT(signals.connect(why), 0);
        EXPECT_TRUE(signals.absent()) << why;
    }
    EXPECT_GE(signals.connect(why), 0) << why;
    EXPECT_FALSE(signals.absent());
    signals.disconnect();
}
