// SPDX-License-Identifier: Apache-2.0
#include "providers/region/KeyboardLayout.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

TEST(KeyboardLayoutTest, NamesSymbolsAndPartsOfALayout)
{
    using Table = std::vector<std::pair<const char*, const char*>>;
    // Only the known short names, exactly; other cases and spacing stay.
    for (const auto& [input, expected] : Table{{"USA", "United States"}, {"US", "United States"},
             {"Great Britain", "United Kingdom"}, {"English (USA)", "English (United States)"},
             {"English (US)", "English (United States)"}, {"English (UK)", "English (United Kingdom)"},
             {"English (GB)", "English (United Kingdom)"}, {"us", "us"}, {"Usa", "Usa"}, {"English(US)", "English(US)"},
             {"English (US) ", "English (US) "}, {"Germany", "Germany"}, {"", ""}}) {
        EXPECT_EQ(KeyboardLayout::normaliseName(input), expected) << input;
    }
    for (const auto& [input, expected] : Table{{"gb", "en-GB"}, {"GB", "en-GB"}, {"Gb", "en-GB"}, {"us", "en-US"},
             {"US", "US"}, {"de", "de-DE"}, {"DE", "DE"}, {"fr", "fr"}, {"en_US", "en-US"}, {"pt_BR_x", "pt-BR-x"},
             {"en-GB", "en-GB"}, {"", ""}}) {
        EXPECT_EQ(KeyboardLayout::symbolToLocale(input), expected) << input;
    }
    for (const auto& [input, expected] : Table{{"English (US)", "English (US)"},
             {"English (US, intl., with dead keys)", "English (US)"}, {"German", "German"}, {"de:2", "de"},
             // The inner word goes through the symbol conversion; inner words
             // without an upper-case letter are dropped.
             {"English (GB, Macintosh)", "English (en-GB)"}, {"English (gb, Macintosh)", "English (Macintosh)"},
             {"German (no dead keys)", "German"},
             // The last word outside parentheses wins; a word may end at "(".
             {"Serbian (Cyrillic) Latin", "Latin (Cyrillic)"}, {"English(UK)", "English (UK)"}, {"inet(evdev)", "inet"},
             {"", ""}, {"(", ""}, {")US", "United States"}}) {
        EXPECT_EQ(KeyboardLayout::parseLayoutName(input), expected) << input;
    }
    using Parts = std::vector<std::string>;
    EXPECT_EQ(KeyboardLayout::layoutParts("pc+us+de:2+inet(evdev)"), (Parts{"us", "de:2", "inet(evdev)"}));
    EXPECT_EQ(KeyboardLayout::layoutParts("pc+gb+inet+group"), (Parts{"gb"}));
    EXPECT_EQ(KeyboardLayout::layoutParts("pc"), (Parts{}));
    EXPECT_EQ(KeyboardLayout::layoutParts("pc+pc105+us"), (Parts{"pc105", "us"}));
    // {parts, group, the group's part}: the part that names the group, else the one counted so.
    for (const auto& [parts, group, expected] : std::initializer_list<std::tuple<Parts, int, std::optional<std::size_t>>>{
             {{"de", "inet(pc105)", "us:2"}, 1, 2}, {{"de", "inet(pc105)", "us:2"}, 0, 0},
             {{"us", "de:2", "inet(evdev)"}, 1, 1}, {{"us", "de:2", "fr:3"}, 2, 2}, {{"us", "de:12"}, 1, 1},
             {{"us", "inet(evdev)"}, 1, 1}, {{"us"}, 1, std::nullopt}, {{}, 0, std::nullopt}, {{"us"}, -1, std::nullopt}}) {
        EXPECT_EQ(KeyboardLayout::groupPart(parts, group), expected) << group;
    }
}
