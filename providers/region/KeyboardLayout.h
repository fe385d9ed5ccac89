// SPDX-License-Identifier: Apache-2.0
// Text rules for keyboard layouts and locale names: turning the names that
// XKB and the C library give into the names and locale tags reported to the
// host. Plain functions on strings.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

class KeyboardLayout {
public:
    // Replaces the short country names some layouts and locales use with the
    // full ones ("US" -> "United States", "English (UK)" -> "English (United
    // Kingdom)"). Exact, case-sensitive; any other text comes back unchanged.
    static std::string normaliseName(const std::string& name);

    // The locale tag of a layout symbol: "gb" (any case) -> "en-GB", "us" ->
    // "en-US", "de" -> "de-DE", otherwise the text with "_" turned into "-".
    static std::string symbolToLocale(const std::string& symbol);

    // The short form of a layout name: the last word outside parentheses, and
    // the first word inside them that has an upper-case letter, as
    // "English (US)" for "English (US, intl., with dead keys)"; "de" for the
    // symbol part "de:2".
    static std::string parseLayoutName(const std::string& name);

    // The layout parts of an XKB symbols name such as
    // "pc+us+de:2+inet(evdev)", in order, without the parts that are exactly
    // "pc", "inet" or "group".
    static std::vector<std::string> layoutParts(const std::string& symbols);

    // Which of those parts is the layout of keyboard group `group` (from 0):
    // the part that names the group, "de:2" for the second; else, and for
    // the first group, whose part names none, the part counted `group` from
    // 0. A model's part may stand between two layouts, as "inet(pc105)" does
    // in "pc+de+inet(pc105)+us:2". Nullopt when there is none.
    static std::optional<std::size_t> groupPart(const std::vector<std::string>& parts, int group);
};
