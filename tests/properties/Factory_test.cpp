#include "properties/Factory.h"

#include "properties/ClientProperties.h"
#include "properties/Provider.h"
#include "support/Categories.h"
#include "support/LogWatch.h"

#include <gtest/gtest.h>

#include <memory>

using TestSupport::category;

namespace {

class NamedProvider : public Provider {
public:
    NamedProvider(std::shared_ptr<Category const> category, const std::string& host, std::string tag)
        : Provider(std::move(category), host), tag(std::move(tag))
    {
    }
    std::future<PropertyMap> getProperties() override { return ready({{"DEVICE_TAG", tag}}); }
    std::string tag;
};

Provider* createFirst(std::shared_ptr<Category const> category, const std::string& host)
{
    return new NamedProvider(std::move(category), host, "first");
}

Provider* createSecond(std::shared_ptr<Category const> category, const std::string& host)
{
    return new NamedProvider(std::move(category), host, "second");
}

// The categories the library has providers for, in the order of the table.
const std::vector<const char*> kRegistered{"Display", "Hardware", "Input", "LogicalDisk", "Name", "Network",
                                           "OS", "Region", "User", "Corvane", "Location", "Power",
                                           "SmartCardReader", "Whois", "Igel", "Custom", "ScreenSaver",
                                           "RemoteControl"};

}  // namespace

TEST(Factory, FirstRegistrationForANameStays)
{
    Factory::registerProvider("FactoryTestDuplicate", &createFirst);
    Factory::registerProvider("FactoryTestDuplicate", &createSecond);
    std::unique_ptr<Provider> provider(Factory::createProvider(category("FactoryTestDuplicate"), "20.1"));
    ASSERT_NE(provider, nullptr);
    EXPECT_EQ(provider->getProperties().get().at("DEVICE_TAG"), "first");
    EXPECT_EQ(provider->hostVersion().ToString(), "20.1");
    EXPECT_EQ(provider->category()->name, "FactoryTestDuplicate");
}

TEST(Factory, UnknownAndWrongCaseNamesCreateNothing)
{
    ClientProperties::registerProviders();
    const TestSupport::LogWatch log;
    EXPECT_EQ(Factory::createProvider(category("NoSuchCategory"), "20.1"), nullptr);
    EXPECT_EQ(Factory::createProvider(category("os"), "20.1"), nullptr);
    const std::string after = log.text();
    EXPECT_NE(after.find(" : createProvider : INFO - Unable to find provider for category [NoSuchCategory]"),
              std::string::npos);
    EXPECT_NE(after.find("Unable to find provider for category [os]"), std::string::npos);
}

TEST(Factory, RegisteringTwiceKeepsTheRegistryAndLogsAgain)
{
    ClientProperties::registerProviders();
    const std::size_t registered = Factory::registeredCount();
    const TestSupport::LogWatch log;
    ClientProperties::registerProviders();
    EXPECT_EQ(Factory::registeredCount(), registered);
    const std::string after = log.text();
    EXPECT_EQ(log.count("Registering factory for category ["), kRegistered.size());
    for (const char* name : kRegistered) {
        EXPECT_NE(after.find(std::string("Registering factory for category [") + name + "]"), std::string::npos);
        std::unique_ptr<Provider> provider(Factory::createProvider(category(name), ""));
        EXPECT_NE(provider, nullptr) << name;
    }
    // Registration follows the order of the category table.
    for (std::size_t i = 1; i < kRegistered.size(); ++i) {
        EXPECT_LT(after.find(std::string("[") + kRegistered[i - 1] + "]"),
                  after.find(std::string("[") + kRegistered[i] + "]"));
    }
}
