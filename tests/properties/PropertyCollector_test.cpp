// SPDX-License-Identifier: Apache-2.0
#include "properties/PropertyCollector.h"

#include <gtest/gtest.h>

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
