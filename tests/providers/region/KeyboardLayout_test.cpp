#include "providers/region/KeyboardLayout.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

TEST(KeyboardLayoutTest, NormaliserReplacesOnlyTheKnownShortNamesExactly)
{
    const std::pair<const char*, const char*> cases[] = {
        {"USA", "United States"},
        {"US", "United States"},
        {"Great Britain", "United Kingdom"},
        {"English (USA)", "English (United States)"},
        {"English (US)", "English (United States)"},
        {"English (UK)", "English (United Kingdom)"},
        {"English (GB)", "English (United Kingdom)"},
        // Anything else, including other cases and spacing, stays as it is.
        {"us", "us"},
        {"Usa", "Usa"},
        {"English(US)", "English(US)"},
        {"English (US) ", "English (US) "},
        {"Germany", "Germany"},
        {"", ""},
    };
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(KeyboardLayout::normaliseName(input), expected) << input;
    }
}

TEST(KeyboardLayoutTest, SymbolToLocale)
{
    const std::pair<const char*, const char*> cases[] = {
        {"gb", "en-GB"}, {"GB", "en-GB"},  {"Gb", "en-GB"},   {"us", "en-US"},
        {"US", "US"},    {"de", "de-DE"},  {"DE", "DE"},      {"fr", "fr"},
        {"en_US", "en-US"}, {"pt_BR_x", "pt-BR-x"}, {"en-GB", "en-GB"}, {"", ""},
    };
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(KeyboardLayout::symbolToLocale(input), expected) << input;
    }
}

TEST(KeyboardLayoutTest, LayoutNameParser)
{
    const std::pair<const char*, const char*> cases[] = {
        {"English (US)", "English (US)"},
        {"English (US, intl., with dead keys)", "English (US)"},
        {"German", "German"},
        {"de:2", "de"},
        {"us", "us"},
        {"gb", "gb"},
        // The inner word goes through the symbol conversion.
        {"English (GB, Macintosh)", "English (en-GB)"},
        {"English (gb, Macintosh)", "English (Macintosh)"},
        {"English (Macintosh)", "English (Macintosh)"},
        // Inner words without an upper-case letter are dropped.
        {"German (no dead keys)", "German"},
        // The last word outside parentheses wins; a word may end at "(".
        {"Serbian (Cyrillic) Latin", "Latin (Cyrillic)"},
        {"English(UK)", "English (UK)"},
        {"inet(evdev)", "inet"},
        {"", ""},
        {"(", ""},
        {")US", "United States"},
    };
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(KeyboardLayout::parseLayoutName(input), expected) << input;
    }
    // Together with the normaliser, as the keyboard language is made.
    EXPECT_EQ(KeyboardLayout::normaliseName(KeyboardLayout::parseLayoutName("English (US, intl., with dead keys)")),
              "English (United States)");
    EXPECT_EQ(KeyboardLayout::symbolToLocale(KeyboardLayout::parseLayoutName("de:2")), "de-DE");
}

TEST(KeyboardLayoutTest, LayoutPartsOfSymbolsName)
{
    using Parts = std::vector<std::string>;
    EXPECT_EQ(KeyboardLayout::layoutParts("pc+us+de:2+inet(evdev)"), (Parts{"us", "de:2", "inet(evdev)"}));
    EXPECT_EQ(KeyboardLayout::layoutParts("pc+gb+inet+group"), (Parts{"gb"}));
    EXPECT_EQ(KeyboardLayout::layoutParts("us"), (Parts{"us"}));
    EXPECT_EQ(KeyboardLayout::layoutParts("pc"), (Parts{}));
    EXPECT_EQ(KeyboardLayout::layoutParts("pc+pc105+us"), (Parts{"pc105", "us"}));
}
