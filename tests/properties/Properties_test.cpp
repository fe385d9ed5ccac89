// SPDX-License-Identifier: Apache-2.0
#include "properties/Properties.h"

#include "support/Categories.h"
#include "support/ConfigProvider.h"
#include "support/LogWatch.h"
#include "support/MainLoop.h"

#include <gtest/gtest.h>

using TestSupport::ConfigProvider;

// Earlier categories win a key both report; a failing provider's keys read as removed until it reports
// again; categories switched off get no provider; shutdown closes every provider once.
TEST(PropertiesTest, MergesReadingsAndReportsChangesOfEveryProvider)
{
    ConfigProvider::reset();
    ConfigProvider::set("first", {{"DEVICE_SHARED", "first"}, {"DEVICE_A", "1"}, {"DEVICE_B", "b"}});
    ConfigProvider::set("second", {{"DEVICE_SHARED", "second"}, {"DEVICE_C", "c"}});
    ConfigProvider::set("broken", {{"throw", "no device"}});
    const auto provider = [](const std::string& tag, int32_t status = 2) {
        return TestSupport::category(ConfigProvider::kName, status, 0, {{"tag", tag}, {"async", ""}});
    };
    Properties properties;
    properties.initialise({provider("first"), provider("second"), provider("broken"), provider("off", 0),
                           TestSupport::category("NotRegistered")}, "20.1");
    const TestSupport::LogWatch log;
    EXPECT_EQ(properties.getProperties(),
              (PropertyMap{{"DEVICE_A", "1"}, {"DEVICE_B", "b"}, {"DEVICE_C", "c"}, {"DEVICE_SHARED", "first"}}));
    EXPECT_TRUE(log.contains("ERROR - Failed to get properties from provider [EngineTest] with error [no device]"));
    EXPECT_TRUE(properties.getChanges().empty());
    ConfigProvider::set("first", {{"DEVICE_A", "01"}, {"DEVICE_D", "new"}});
    ConfigProvider::set("second", {{"throw", "gone"}});
    PropertyChanges changes = properties.getChanges();
    EXPECT_EQ(changes.updated, (PropertyMap{{"DEVICE_A", "01"}, {"DEVICE_D", "new"}}));
    EXPECT_EQ(changes.removed, (std::vector<std::string>{"DEVICE_B", "DEVICE_C", "DEVICE_SHARED"}));
    ConfigProvider::set("second", {{"DEVICE_SHARED", "second"}, {"DEVICE_C", "c"}});
    changes = properties.getChanges();
    EXPECT_EQ(changes.updated, (PropertyMap{{"DEVICE_C", "c"}, {"DEVICE_SHARED", "second"}}));
    EXPECT_TRUE(changes.removed.empty());
    properties.shutdown();
    properties.shutdown();
    EXPECT_EQ(ConfigProvider::closes("first") + ConfigProvider::closes("second") + ConfigProvider::closes("off"), 2);
    EXPECT_EQ(ConfigProvider::readings("off"), 0);
    EXPECT_TRUE(properties.readAllProperties().empty());
}

// A provider's first reading runs on a thread of its own while the caller goes on; later ones only when waited for.
TEST(PropertiesTest, OnlyTheFirstReadingOfADeferredAfterFirstProviderRunsAtOnce)
{
    ConfigProvider::reset();
    ConfigProvider::set("t", {{"DEVICE_A", "1"}});
    ConfigProvider::gate(false);
    ConfigProvider provider(TestSupport::category(ConfigProvider::kName, 2, 0, {{"tag", "t"}, {"afterFirst", ""},
                                                                                {"gate", ""}}), "20.1");
    std::future<PropertyMap> first = provider.getProperties();
    ConfigProvider::waitAtGate();  // taken without waiting for it
    ConfigProvider::gate(true);
    EXPECT_EQ(first.get(), (PropertyMap{{"DEVICE_A", "1"}}));
    std::future<PropertyMap> next = provider.getProperties();
    EXPECT_EQ(next.wait_for(std::chrono::seconds(0)), std::future_status::deferred);
    EXPECT_EQ(ConfigProvider::readings("t"), 1);
    EXPECT_EQ(next.get(), (PropertyMap{{"DEVICE_A", "1"}}));
    EXPECT_EQ(ConfigProvider::readings("t"), 2);
}

// The readings that run on the reading thread do not wait for the asynchronous readings listed before them.
TEST(PropertiesTest, DeferredReadingsRunWhileEarlierAsynchronousOnesAreStillReading)
{
    ConfigProvider::reset();
    ConfigProvider::set("slow", {{"DEVICE_SLOW", "1"}});
    ConfigProvider::set("quick", {{"DEVICE_QUICK", "2"}});
    ConfigProvider::gate(false);
    Properties properties;
    properties.initialise({TestSupport::category(ConfigProvider::kName, 2, 0, {{"tag", "slow"}, {"async", ""},
                                                                               {"gate", ""}}),
                           TestSupport::category(ConfigProvider::kName, 2, 0, {{"tag", "quick"}})}, "20.1");
    std::future<PropertyMap> reading = std::async(std::launch::async, [&] { return properties.getProperties(); });
    ConfigProvider::waitAtGate();
    EXPECT_TRUE(TestSupport::waitUntil([] { return ConfigProvider::readings("quick") == 1; },
                                       std::chrono::seconds(2)));
    ConfigProvider::gate(true);
    EXPECT_EQ(reading.get(), (PropertyMap{{"DEVICE_QUICK", "2"}, {"DEVICE_SLOW", "1"}}));
}

// A watch still connecting holds up only its own provider's first reading.
TEST(PropertiesTest, AProviderIsReadOnceItsOwnWatchIsReadyNotEveryWatch)
{
    ConfigProvider::reset();
    ConfigProvider::set("watching", {{"DEVICE_WATCHING", "1"}});
    ConfigProvider::set("plain", {{"DEVICE_PLAIN", "2"}});
    ConfigProvider::watchGate(false);
    Properties properties;
    properties.initialise({TestSupport::category(ConfigProvider::kName, 2, 0, {{"tag", "watching"}, {"slowWatch", ""}}),
                           TestSupport::category(ConfigProvider::kName, 2, 0, {{"tag", "plain"}, {"async", ""}})},
                          "20.1");
    properties.monitorForChanges([](std::shared_ptr<Category const>) {});
    std::future<PropertyMap> reading = std::async(std::launch::async, [&] { return properties.getProperties(); });
    ASSERT_TRUE(TestSupport::waitUntil([] { return ConfigProvider::readings("plain") == 1; }));
    EXPECT_EQ(ConfigProvider::readings("watching"), 0);
    ConfigProvider::watchGate(true);
    EXPECT_EQ(reading.get(), (PropertyMap{{"DEVICE_PLAIN", "2"}, {"DEVICE_WATCHING", "1"}}));
    properties.shutdown();
}
