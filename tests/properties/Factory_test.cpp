#include "properties/Factory.h"

#include "properties/Provider.h"
#include "providers/Categories.h"
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
    Factory::registerProviders(Categories::table());
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
    Factory::registerProviders(Categories::table());
    const std::size_t registered = Factory::registeredCount();
    const TestSupport::LogWatch log;
    Factory::registerProviders(Categories::table());
    EXPECT_EQ(Factory::registeredCount(), registered);
    const std::string after = log.text();
    const auto table = Categories::table();
    EXPECT_EQ(log.count("Registering factory for category ["), table.size());
    std::size_t previous = 0;
    for (const Factory::Entry& entry : table) {
        // Registration follows the order of the category table.
        const std::size_t at = after.find(std::string("Registering factory for category [") + entry.name + "]");
        EXPECT_NE(at, std::string::npos);
        EXPECT_GE(at, previous) << entry.name;
        previous = at;
        std::unique_ptr<Provider> provider(Factory::createProvider(category(entry.name), ""));
        EXPECT_NE(provider, nullptr) << entry.name;
        // Every key of the category is its own, with a bit of its own and a meaning.
        uint32_t bits = 0;
        for (const PropertyKey& key : entry.keys) {
            EXPECT_EQ(Categories::ofKey(PropertyCollector::indexedKey(key.key, 3)), &entry) << key.key;
            EXPECT_EQ(bits & key.bit, 0U) << key.key;
            EXPECT_NE(std::string(key.meaning), "") << key.key;
            bits |= key.bit;
        }
    }
}
