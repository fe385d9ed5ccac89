#include "properties/PropertyCollector.h"

#include "support/Categories.h"

#include <gtest/gtest.h>

#include <tuple>

using TestSupport::category;

namespace {

constexpr PropertyKey kKeys[] = {{"DEVICE_TEST_FIRST", 0x1}, {"DEVICE_TEST_SECOND", 0x8}};
constexpr const PropertyKey& kFirst = kKeys[0];
constexpr const PropertyKey& kSecond = kKeys[1];

}  // namespace

// status 2: everything; status 0: nothing; other: the filter's bits.
TEST(PropertyCollector, KeySelectionRule)
{
    const std::tuple<int32_t, int32_t, bool, bool> cases[] = {
        {2, 0, true, true},    {2, 0x1, true, true},  {0, 0x9, false, false}, {1, 0x1, true, false},
        {1, 0x8, false, true}, {1, 0x9, true, true},  {1, 0, false, false},   {3, 0x8, false, true},
        {-1, 0x1, true, false}, {1, -1, true, true},
    };
    for (const auto& [status, filter, first, second] : cases) {
        const auto wanted = category("Test", status, filter);
        PropertyCollector properties(*wanted);
        properties.add(kFirst, "1");
        properties.add(kSecond, "2");
        EXPECT_EQ(properties.properties().count(kFirst.key) == 1, first) << status << "/" << filter;
        EXPECT_EQ(properties.properties().count(kSecond.key) == 1, second) << status << "/" << filter;
        EXPECT_EQ(properties.anySelected(kKeys), first || second) << status << "/" << filter;
    }
}

TEST(PropertyCollector, ValueWorkRunsOnlyForSelectedKeys)
{
    const auto wanted = category("Test", 1, 0x8);
    PropertyCollector properties(*wanted);
    int runs = 0;
    properties.add(kFirst, [&] { ++runs; return std::string("1"); });
    properties.add(kSecond, [&] { ++runs; return std::string("2"); });
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(properties.take(), (PropertyMap{{"DEVICE_TEST_SECOND", "2"}}));
}

TEST(PropertyCollector, UndeterminedValuesAreUnavailable)
{
    const auto wanted = category("Test");
    PropertyCollector properties(*wanted);
    properties.add(kFirst, []() -> std::optional<std::string> { return std::nullopt; });
    properties.add(kSecond, []() -> std::optional<std::string> { return std::string(); });
    properties.add(PropertyKey{"DEVICE_TEST_THIRD", 0x2}, [] { return PropertyCollector::orUnavailable(""); });
    EXPECT_EQ(properties.take(), (PropertyMap{{"DEVICE_TEST_FIRST", "Unavailable"}, {"DEVICE_TEST_SECOND", ""},
                                              {"DEVICE_TEST_THIRD", "Unavailable"}}));

    const auto narrow = category("Test", 1, 0x8);
    PropertyCollector some(*narrow);
    some.unavailable(kKeys);
    EXPECT_EQ(some.take(), (PropertyMap{{"DEVICE_TEST_SECOND", "Unavailable"}}));
}

TEST(PropertyCollector, FirstValueForAKeyStays)
{
    const auto wanted = category("Test");
    PropertyCollector properties(*wanted);
    properties.add(kFirst, "first");
    properties.add(kFirst, "second");
    EXPECT_EQ(properties.properties().at(kFirst.key), "first");
}

TEST(PropertyCollector, IndexedKeysFollowTheirTemplateAndBit)
{
    constexpr PropertyKey kName{"DEVICE_TEST_%d_NAME", 0x2};
    const auto narrow = category("Test", 1, 0x2);
    PropertyCollector properties(*narrow);
    properties.addIndexed(kName, 0, "first");
    properties.addIndexed(kName, 11, [] { return std::string("twelfth"); });
    properties.addIndexed(PropertyKey{"DEVICE_TEST_%d_OTHER", 0x4}, 0, "not selected");
    EXPECT_EQ(properties.take(), (PropertyMap{{"DEVICE_TEST_0_NAME", "first"}, {"DEVICE_TEST_11_NAME", "twelfth"}}));
    EXPECT_TRUE(kName.names("DEVICE_TEST_11_NAME"));
    EXPECT_FALSE(kName.names("DEVICE_TEST__NAME") || kName.names("DEVICE_TEST_1x_NAME") || kName.names("DEVICE_TEST"));
}
