#include "properties/Properties.h"

#include "support/Categories.h"
#include "support/ConfigProvider.h"
#include "support/LogWatch.h"

#include <gtest/gtest.h>


using TestSupport::category;
using TestSupport::ConfigProvider;

namespace {

using Config = std::map<std::string, std::string>;

std::shared_ptr<Category const> provider(const std::string& tag, Config config, int32_t status = 2)
{
    config["tag"] = tag;
    return category(ConfigProvider::kName, status, 0, std::move(config));
}

class PropertiesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ConfigProvider::registerWithFactory();
        ConfigProvider::reset();
    }
};

}  // namespace

TEST_F(PropertiesTest, NoProvidersGiveEmptyReadingsAndNoChanges)
{
    Properties properties;
    properties.initialise({provider("off", {{"DEVICE_A", "1"}}, 0), category("NotRegistered")}, "20.1");
    EXPECT_TRUE(properties.getProperties().empty());
    EXPECT_TRUE(properties.getChanges().empty());
}

TEST_F(PropertiesTest, EarlierCategoryWinsAKeyBothReport)
{
    Properties properties;
    properties.initialise({provider("first", {{"DEVICE_SHARED", "first"}, {"DEVICE_A", "a"}}),
                           provider("second", {{"DEVICE_SHARED", "second"}, {"DEVICE_B", "b"}})},
                          "20.1");
    EXPECT_EQ(properties.getProperties(),
              (PropertyMap{{"DEVICE_A", "a"}, {"DEVICE_B", "b"}, {"DEVICE_SHARED", "first"}}));
}

TEST_F(PropertiesTest, AsynchronousProvidersRunInParallel)
{
    // Both readings wait at the gate; only a collection that starts every
    // provider before waiting for any gets both there.
    ConfigProvider::closeGate();
    Properties properties;
    properties.initialise({provider("slow1", {{"DEVICE_A", "1"}, {"launch", "async"}, {"gate", ""}}),
                           provider("slow2", {{"DEVICE_B", "2"}, {"launch", "async"}, {"gate", ""}})},
                          "20.1");
    std::thread opener([] {
        const bool both = ConfigProvider::waitUntilGateReached(2);
        ConfigProvider::openGate();
        EXPECT_TRUE(both) << "asynchronous providers were not started together";
    });
    EXPECT_EQ(properties.getProperties(), (PropertyMap{{"DEVICE_A", "1"}, {"DEVICE_B", "2"}}));
    opener.join();
}

TEST_F(PropertiesTest, FailingProviderIsLoggedAndTheOthersStillReport)
{
    Properties properties;
    properties.initialise({provider("broken", {{"throw", "no device"}, {"launch", "async"}}),
                           provider("steady", {{"DEVICE_A", "1"}})},
                          "20.1");
    const TestSupport::LogWatch log;
    EXPECT_EQ(properties.getProperties(), (PropertyMap{{"DEVICE_A", "1"}}));
    EXPECT_TRUE(log.contains("ERROR - Failed to get properties from provider [EngineTest] with error [no device]"));
}

TEST_F(PropertiesTest, ChangesListUpdatedAndRemovedKeysOnce)
{
    Properties properties;
    properties.initialise({provider("p", {{"DEVICE_A", "1"}, {"DEVICE_B", "b"}, {"DEVICE_C", "c"}})}, "20.1");
    properties.getProperties();
    EXPECT_TRUE(properties.getChanges().empty());

    ConfigProvider::set("p", "DEVICE_A", "01");  // a change of format is a change
    ConfigProvider::set("p", "DEVICE_D", "new");
    ConfigProvider::erase("p", "DEVICE_B");
    ConfigProvider::erase("p", "DEVICE_C");
    PropertyChanges changes = properties.getChanges();
    EXPECT_EQ(changes.updated, (PropertyMap{{"DEVICE_A", "01"}, {"DEVICE_D", "new"}}));
    EXPECT_EQ(changes.removed, (std::vector<std::string>{"DEVICE_B", "DEVICE_C"}));

    changes = properties.getChanges();
    EXPECT_TRUE(changes.empty());

    ConfigProvider::set("p", "DEVICE_B", "b");
    changes = properties.getChanges();
    EXPECT_EQ(changes.updated, (PropertyMap{{"DEVICE_B", "b"}}));
    EXPECT_TRUE(changes.removed.empty());
}

TEST_F(PropertiesTest, ProviderFailureShowsAsRemovalThenReturns)
{
    Properties properties;
    properties.initialise({provider("q", {{"DEVICE_A", "1"}}), provider("r", {{"DEVICE_B", "2"}})}, "20.1");
    properties.getProperties();
    ConfigProvider::set("q", "throw", "gone");
    PropertyChanges changes = properties.getChanges();
    EXPECT_EQ(changes.removed, std::vector<std::string>{"DEVICE_A"});
    EXPECT_TRUE(changes.updated.empty());
    ConfigProvider::erase("q", "throw");
    changes = properties.getChanges();
    EXPECT_EQ(changes.updated, (PropertyMap{{"DEVICE_A", "1"}}));
    EXPECT_TRUE(changes.removed.empty());
}

TEST_F(PropertiesTest, MonitoringStartsOnceAndShutdownClosesEveryProviderOnce)
{
    Properties properties;
    properties.initialise({provider("m1", {{"DEVICE_A", "1"}}), provider("m2", {{"DEVICE_B", "1"}}),
                           provider("m3", {{"DEVICE_C", "1"}}, 0)},
                          "20.1");
    properties.monitorForChanges([](std::shared_ptr<Category const>) {});
    properties.monitorForChanges([](std::shared_ptr<Category const>) {});
    EXPECT_EQ(ConfigProvider::monitorCalls("m1"), 1);
    EXPECT_EQ(ConfigProvider::monitorCalls("m2"), 1);
    EXPECT_EQ(ConfigProvider::monitorCalls("m3"), 0);

    properties.getProperties();
    const int alive = ConfigProvider::alive();
    properties.shutdown();
    EXPECT_EQ(ConfigProvider::closeCalls("m1"), 1);
    EXPECT_EQ(ConfigProvider::closeCalls("m2"), 1);
    EXPECT_EQ(ConfigProvider::alive(), alive - 2);
    EXPECT_TRUE(properties.readAllProperties().empty());
    properties.shutdown();
    EXPECT_EQ(ConfigProvider::closeCalls("m1"), 1);
}

TEST_F(PropertiesTest, SameCategoryTwiceMakesTwoProviders)
{
    Properties properties;
    properties.initialise({provider("twice", {{"DEVICE_A", "1"}}), provider("twice", {{"DEVICE_A", "2"}})}, "20.1");
    EXPECT_EQ(properties.getProperties().at("DEVICE_A"), "1");
    EXPECT_EQ(ConfigProvider::readings("twice"), 2);
}
