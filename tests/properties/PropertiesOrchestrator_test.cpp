#include "properties/PropertiesOrchestrator.h"

#include "support/Categories.h"
#include "support/ConfigProvider.h"
#include "support/Engine.h"
#include "support/LogWatch.h"
#include "support/MainLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

using namespace std::chrono_literals;
using TestSupport::category;
using TestSupport::ConfigProvider;
using TestSupport::drainEngine;
using TestSupport::LogWatch;
using TestSupport::waitUntil;

namespace {

std::shared_ptr<Category const> provider(const std::string& tag, std::map<std::string, std::string> config)
{
    config["tag"] = tag;
    return category(ConfigProvider::kName, 2, 0, std::move(config));
}

// Collects what the orchestrator hands to the connection.
struct Received {
    std::mutex mutex;
    std::vector<PropertyChanges> changes;

    PropertiesOrchestrator::ChangeCallback callback()
    {
        return [this](const PropertyChanges& found) {
            std::lock_guard<std::mutex> lock(mutex);
            changes.push_back(found);
        };
    }
    std::size_t count()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return changes.size();
    }
};

class OrchestratorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ConfigProvider::registerWithFactory();
        ConfigProvider::reset();
        orchestrator = std::make_shared<PropertiesOrchestrator>();
    }
    void TearDown() override
    {
        ConfigProvider::openGate();
        orchestrator->shutdown();
        drainEngine();  // queued work sees the shutdown, the providers close
    }

    PropertyMap start(const std::string& tag, std::chrono::milliseconds interval,
                      std::map<std::string, std::string> config = {{"DEVICE_A", "1"}})
    {
        orchestrator->initialise({provider(tag, std::move(config))}, "20.1");
        return orchestrator->getPropertiesAndMonitorForChanges(interval, received.callback());
    }

    std::shared_ptr<PropertiesOrchestrator> orchestrator;
    Received received;
};

}  // namespace

TEST_F(OrchestratorTest, InitialReadingThenPeriodicChecksReportOnlyChanges)
{
    EXPECT_EQ(start("periodic", 10ms), (PropertyMap{{"DEVICE_A", "1"}}));
    EXPECT_EQ(ConfigProvider::monitorCalls("periodic"), 1);

    // Checks that find nothing call nothing.
    ASSERT_TRUE(waitUntil([] { return ConfigProvider::readings("periodic") >= 4; }));
    EXPECT_EQ(received.count(), 0U);

    ConfigProvider::set("periodic", "DEVICE_A", "2");
    ASSERT_TRUE(waitUntil([&] { return received.count() == 1; }));
    EXPECT_EQ(received.changes[0].updated, (PropertyMap{{"DEVICE_A", "2"}}));
}

TEST_F(OrchestratorTest, NonPositiveIntervalMeansNoPeriodicChecks)
{
    const LogWatch log;
    start("nointerval", 0ms);
    EXPECT_TRUE(log.contains("WARNING - Property check interval [0] ms is not positive"));
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(ConfigProvider::readings("nointerval"), 1);

    // A real-time notification still checks, and does not arm a timer.
    ConfigProvider::set("nointerval", "DEVICE_A", "2");
    ConfigProvider::notify("nointerval");
    ASSERT_TRUE(waitUntil([&] { return received.count() == 1; }));
}

TEST_F(OrchestratorTest, NotificationFromAProviderThreadChecksAndRestartsTheInterval)
{
    start("notify", 60000ms);
    const LogWatch log;
    ConfigProvider::set("notify", "DEVICE_A", "changed");
    std::thread([] { ConfigProvider::notify("notify"); }).join();
    ASSERT_TRUE(waitUntil([&] { return received.count() == 1; }));
    EXPECT_EQ(received.changes[0].updated.at("DEVICE_A"), "changed");
    EXPECT_TRUE(log.contains("INFO - Provider [EngineTest] initiated a real-time property change. Scheduling a refresh..."));
    // The periodic timer was replaced, so the next periodic check is one
    // full interval after this check.
    EXPECT_TRUE(log.contains("Destroying timer ["));
    EXPECT_EQ(log.count("Successfully created timer ["), 1U);
}

TEST_F(OrchestratorTest, NotificationDuringACheckIsCheckedOnceThatCheckEnds)
{
    start("busy", 60000ms, {{"DEVICE_A", "1"}, {"gate", ""}});
    ConfigProvider::closeGate();
    const int before = ConfigProvider::readings("busy");
    const LogWatch log;
    // While a check waits at the gate (on the engine thread), the provider
    // reports a change from its own thread, twice.
    ConfigProvider::notify("busy");
    std::thread notifier([] {
        ASSERT_TRUE(ConfigProvider::waitUntilGateReached());
        ConfigProvider::set("busy", "DEVICE_A", "2");
        ConfigProvider::notify("busy");
        ConfigProvider::notify("busy");
        ConfigProvider::openGate();
    });
    notifier.join();
    ASSERT_TRUE(waitUntil([&] { return received.count() == 1; }));
    EXPECT_EQ(received.changes[0].updated, (PropertyMap{{"DEVICE_A", "2"}}));
    // Exactly one more check follows the one in progress: what changed after
    // its reading is not lost.
    ASSERT_TRUE(waitUntil([&] { return ConfigProvider::readings("busy") == before + 2; }));
    drainEngine();
    EXPECT_EQ(ConfigProvider::readings("busy"), before + 2);
    EXPECT_TRUE(log.contains("INFO - Ignoring provider [EngineTest] request to initiate a real-time property change "
                             "since properties already refreshing."));
}

TEST_F(OrchestratorTest, ShutdownReturnsAtOnceAndProvidersCloseAfterTheRunningCheck)
{
    start("slow", 5ms, {{"DEVICE_A", "1"}, {"gate", ""}});
    ConfigProvider::closeGate();
    ASSERT_TRUE(ConfigProvider::waitUntilGateReached());
    // A check is inside the provider: shutdown returns, nothing is closed yet.
    orchestrator->shutdown();
    EXPECT_EQ(ConfigProvider::closeCalls("slow"), 0);
    ConfigProvider::openGate();
    drainEngine();
    EXPECT_EQ(ConfigProvider::closeCalls("slow"), 1);

    // Nothing is checked any more, and notifications are refused.
    const LogWatch log;
    const int readings = ConfigProvider::readings("slow");
    orchestrator->scheduleNotifyChanges(provider("slow", {}));
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(ConfigProvider::readings("slow"), readings);
    EXPECT_TRUE(log.contains("WARNING - Ignoring provider [EngineTest] request to initiate a real-time property "
                             "change since shutting down."));
}

TEST_F(OrchestratorTest, QueuedCheckOutlivesTheOrchestratorSafely)
{
    start("queued", 60000ms);
    // While the engine thread is busy, a provider's notification can only be queued.
    std::promise<void> busy;
    Base::EngineThread::post([done = busy.get_future().share()] { done.wait(); });
    std::thread([] { ConfigProvider::notify("queued"); }).join();
    const LogWatch log;
    orchestrator->shutdown();
    orchestrator.reset();
    orchestrator = std::make_shared<PropertiesOrchestrator>();  // for TearDown
    busy.set_value();
    drainEngine();
    EXPECT_TRUE(log.contains("Ignoring request for changes since we've been shutdown"));
    EXPECT_EQ(ConfigProvider::readings("queued"), 1);
}

TEST_F(OrchestratorTest, ExceptionsFromTheChangeCallbackStayInside)
{
    orchestrator->initialise({provider("throwing", {{"DEVICE_A", "1"}})}, "20.1");
    orchestrator->getPropertiesAndMonitorForChanges(
        60000ms, [](const PropertyChanges&) { throw std::runtime_error("write failed"); });
    const LogWatch log;
    ConfigProvider::set("throwing", "DEVICE_A", "2");
    ConfigProvider::notify("throwing");
    ASSERT_TRUE(waitUntil([&] { return log.contains("Done handling request to check for property changes."); }));
    EXPECT_TRUE(log.contains("ERROR - Failed to check for property changes with error [write failed]"));
}

TEST_F(OrchestratorTest, NothingStartsAfterAnEarlyShutdown)
{
    orchestrator->shutdown();
    orchestrator->initialise({provider("late", {{"DEVICE_A", "1"}})}, "20.1");
    EXPECT_TRUE(orchestrator->getPropertiesAndMonitorForChanges(10ms, received.callback()).empty());
    EXPECT_EQ(ConfigProvider::readings("late"), 0);
}
