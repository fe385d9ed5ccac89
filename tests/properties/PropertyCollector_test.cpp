// SPDX-License-Identifier: Apache-2.0
#include "properties/PropertyCollector.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

// Only selected keys are added (their value work runs only then), the first value of a key stays, and an
// undetermined value reads "Unavailable".
TEST(PropertyCollector, AddsSelectedKeysWithTheirIndexOrUnavailable)
{
    constexpr PropertyKey kKeys[] = {{"DEVICE_T_FIRST", 0x1}, {"DEVICE_T_SECOND", 0x8}, {"DEVICE_T_%d_NAME", 0x8}};
    const Category narrow{"T", 1, {}, 0x8}, every{};
    PropertyCollector properties(narrow), all(every);
    properties.add(kKeys[0], []() -> std::string { throw std::logic_error("not selected"); });
    properties.add(kKeys[1], []() -> std::optional<std::string> { return std::nullopt; });
    properties.add(kKeys[1], "second");
    properties.addIndexed(kKeys[2], 0, "zero");
    properties.addIndexed(kKeys[2], 11, [] { return PropertyCollector::orUnavailable(""); });
    properties.addIndexed(kKeys[2], 12, [] { return PropertyCollector::orUnavailable("twelve"); });
    EXPECT_TRUE(properties.anySelected(kKeys) && !properties.anySelected({kKeys, 1}));
    EXPECT_EQ(properties.take(), (PropertyMap{{"DEVICE_T_SECOND", "Unavailable"}, {"DEVICE_T_0_NAME", "zero"},
                                              {"DEVICE_T_11_NAME", "Unavailable"}, {"DEVICE_T_12_NAME", "twelve"}}));
    all.add(kKeys[1], [] { return std::optional<std::string>(""); });
    all.unavailable({kKeys, 2});
    EXPECT_EQ(all.take(), (PropertyMap{{"DEVICE_T_FIRST", "Unavailable"}, {"DEVICE_T_SECOND", ""}}));
}

// Values added beside the reading run on threads of their own at once and are in place when the reading is
// taken; inline otherwise; an unselected key's work never runs, and a failed one fails the reading.
TEST(PropertyCollector, ValuesAddedBesideRunAtOnceOnThreadsOfTheirOwn)
{
    constexpr PropertyKey kKeys[] = {{"DEVICE_T_SLOW", 0x1}, {"DEVICE_T_QUICK", 0x2}, {"DEVICE_T_OFF", 0x4}};
    const Category some{"T", 1, {}, 0x3};
    for (const bool sideBySide : {true, false}) {
        PropertyCollector properties(some);
        std::promise<void> quickRan;
        std::shared_future<void> quick = quickRan.get_future().share();
        const std::thread::id reader = std::this_thread::get_id();
        // The slow value waits for the quick one, added after it: only side by side can both end.
        properties.addBeside(kKeys[0], sideBySide, [&] {
            if (sideBySide) quick.wait_for(std::chrono::seconds(5));
            return std::string(std::this_thread::get_id() == reader ? "inline" : "beside");
        });
        properties.addBeside(kKeys[1], sideBySide, [&]() -> std::optional<std::string> {
            quickRan.set_value();
            return std::nullopt;
        });
        properties.addBeside(kKeys[2], sideBySide, []() -> std::string { throw std::logic_error("not selected"); });
        EXPECT_EQ(properties.take(), (PropertyMap{{"DEVICE_T_QUICK", "Unavailable"},
                                                  {"DEVICE_T_SLOW", sideBySide ? "beside" : "inline"}}));
    }
    PropertyCollector failing(some);
    failing.addBeside(kKeys[0], true, []() -> std::string { throw std::runtime_error("no tool"); });
    EXPECT_THROW(failing.take(), std::runtime_error);
}
