// SPDX-License-Identifier: Apache-2.0
#include "properties/PropertiesOrchestrator.h"

#include "support/Categories.h"
#include "support/ConfigProvider.h"
#include "support/Engine.h"
#include "support/LogWatch.h"
#include "support/MainLoop.h"

#include <gtest/gtest.h>

#include <thread>

using namespace std::chrono_literals;
using TestSupport::ConfigProvider;
using TestSupport::waitUntil;

// One provider tagged "p", reading DEVICE_A = 1 at first; `received` has the updates it found, in order.
class OrchestratorTest : public ::testing::Test {
protected:
    void SetUp() override { ConfigProvider::reset(); change("1"); }
    void TearDown() override { ConfigProvider::gate(true); orchestrator->shutdown(); TestSupport::drainEngine(); }
    PropertyMap start(std::chrono::milliseconds interval, std::string gate = "")
    {
        orchestrator->initialise({TestSupport::category(ConfigProvider::kName, 2, 0, {{"tag", "p"}, {gate, ""}})}, "");
        return TestSupport::onEngine([&] {  // where the connection starts it
            return orchestrator->getPropertiesAndMonitorForChanges(interval, [this](const PropertyChanges& changes) {
                const std::lock_guard<std::mutex> lock(mutex);
                received.push_back(changes.updated);
            });
        });
    }
    bool receives(std::size_t count)
    {
        return waitUntil([&] { const std::lock_guard<std::mutex> lock(mutex); return received.size() >= count; });
    }
    static void change(const std::string& value) { ConfigProvider::set("p", {{"DEVICE_A", value}}); }
    static int readings() { return ConfigProvider::readings("p"); }

    std::shared_ptr<PropertiesOrchestrator> orchestrator = std::make_shared<PropertiesOrchestrator>();
    std::mutex mutex;
    std::vector<PropertyMap> received;
};

// Periodic checks report only changes; a notification from a provider's thread checks at once and the
// periodic checks go on after it.
TEST_F(OrchestratorTest, PeriodicChecksReportOnlyChangesAndGoOnAfterANotification)
{
    EXPECT_EQ(start(10ms), (PropertyMap{{"DEVICE_A", "1"}}));
    ASSERT_TRUE(waitUntil([] { return readings() >= 4; }));
    change("2");
    ASSERT_TRUE(receives(1));
    std::thread([] { ConfigProvider::notify("p"); }).join();
    TestSupport::drainEngine();
    const int after = readings();
    ASSERT_TRUE(waitUntil([&] { return readings() >= after + 3; }));
    EXPECT_EQ(received, (std::vector<PropertyMap>{{{"DEVICE_A", "2"}}}));
}

// A change announced during a reading, the first one included, is checked once the reading has ended.
TEST_F(OrchestratorTest, ChangeAnnouncedDuringAReadingIsCheckedAfterIt)
{
    ConfigProvider::gate(false);
    std::thread provider([] {
        ConfigProvider::waitAtGate();
        change("2");
        ConfigProvider::notify("p");
        ConfigProvider::gate(true);
    });
    EXPECT_EQ(start(60000ms, "gate"), (PropertyMap{{"DEVICE_A", "1"}}));
    provider.join();
    ASSERT_TRUE(receives(1));
    ConfigProvider::gate(false);
    ConfigProvider::notify("p");
    ConfigProvider::waitAtGate();
    change("3");
    ConfigProvider::notify("p");
    ConfigProvider::gate(true);
    ASSERT_TRUE(receives(2));
    EXPECT_EQ(received, (std::vector<PropertyMap>{{{"DEVICE_A", "2"}}, {{"DEVICE_A", "3"}}}));
}

// Shutdown stops the timer at once; the providers close after the check in progress, and nothing else runs.
TEST_F(OrchestratorTest, ShutdownStopsTheTimerAndClosesAfterTheRunningCheck)
{
    start(5ms, "gate");
    ConfigProvider::gate(false);
    ConfigProvider::waitAtGate();
    orchestrator->shutdown();
    std::this_thread::sleep_for(20ms);  // the timer is due when the check ends
    const TestSupport::LogWatch log;
    EXPECT_EQ(ConfigProvider::closes("p"), 0);
    ConfigProvider::gate(true);
    TestSupport::drainEngine();
    EXPECT_EQ(ConfigProvider::closes("p"), 1);
    EXPECT_FALSE(log.contains("Property change timer expired but we've been shutdown"));
    EXPECT_TRUE(orchestrator->getPropertiesAndMonitorForChanges(10ms, nullptr).empty());
}

// A burst of announcements before the engine gets to them is one check, which sees the change they announce.
TEST_F(OrchestratorTest, ABurstOfAnnouncementsIsOneCheck)
{
    start(60000ms);
    std::promise<void> release;
    Base::EngineThread::post([released = release.get_future().share()] { released.wait(); });
    const int before = readings();
    change("2");
    std::thread([] { for (int i = 0; i < 20; ++i) ConfigProvider::notify("p"); }).join();
    release.set_value();
    ASSERT_TRUE(receives(1));
    TestSupport::drainEngine();
    EXPECT_EQ(readings(), before + 1);
    EXPECT_EQ(received, (std::vector<PropertyMap>{{{"DEVICE_A", "2"}}}));
}
