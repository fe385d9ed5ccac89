// SPDX-License-Identifier: Apache-2.0
#include "providers/region/KeyboardLayout.h"

#include <algorithm>
#include <cctype>

std::string KeyboardLayout::normaliseName(const std::string& name)
{
    if (name == "USA" || name == "US") {
        return "United States";
    }
    if (name == "Great Britain") {
        return "United Kingdom";
    }
    if (name == "English (USA)" || name == "English (US)") {
        return "English (United States)";
    }
    if (name == "English (UK)" || name == "English (GB)") {
        return "English (United Kingdom)";
    }
    return name;
}

std::string KeyboardLayout::symbolToLocale(const std::string& symbol)
{
    std::string lower = symbol;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (lower == "gb") {
        return "en-GB";
    }
    if (symbol == "us") {
        return "en-US";
    }
    if (symbol == "de") {
        return "de-DE";
    }
    std::string tag = symbol;
    std::replace(tag.begin(), tag.end(), '_', '-');
    return tag;
}

std::string KeyboardLayout::parseLayoutName(const std::string& name)
{
    std::string outer;
    std::string inner;
    bool innerTaken = false;
    bool inParentheses = false;
    std::string word;
    bool wordHasUpper = false;
    // One position past the end ends the last word.
    for (std::size_t at = 0; at <= name.size(); ++at) {
        const unsigned char c = at < name.size() ? static_cast<unsigned char>(name[at]) : '\0';
        if (std::isalpha(c)) {
            word.push_back(static_cast<char>(c));
            wordHasUpper = wordHasUpper || std::isupper(c);
            continue;
        }
        if (!word.empty()) {
            if (!inParentheses) {
                outer = word;
            } else if (wordHasUpper && !innerTaken) {
                inner = word;
                innerTaken = true;
            }
            word.clear();
            wordHasUpper = false;
        }
        if (c == '(') {
            inParentheses = true;
        } else if (c == ')') {
            inParentheses = false;
        }
    }
    if (!innerTaken) {
        return normaliseName(outer);
    }
    return normaliseName(outer) + " (" + symbolToLocale(inner) + ")";
}

std::vector<std::string> KeyboardLayout::layoutParts(const std::string& symbols)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (true) {
        const std::size_t plus = symbols.find('+', start);
        std::string part = symbols.substr(start, plus == std::string::npos ? std::string::npos : plus - start);
        if (part != "pc" && part != "inet" && part != "group") {
            parts.push_back(std::move(part));
        }
        if (plus == std::string::npos) {
            break;
        }
        start = plus + 1;
    }
    return parts;
}

std::optional<std::size_t> KeyboardLayout::groupPart(const std::vector<std::string>& parts, int group)
{
    if (group < 0) {
        return std::nullopt;
    }
    if (group > 0) {
        const std::string suffix = ":" + std::to_string(group + 1);
        for (std::size_t index = 0; index < parts.size(); ++index) {
            const std::string& part = parts[index];
            if (part.size() > suffix.size() && part.compare(part.size() - suffix.size(), suffix.size(), suffix) == 0) {
                return index;
            }
        }
    }
    const auto counted = static_cast<std::size_t>(group);
    return counted < parts.size() ? std::optional<std::size_t>(counted) : std::nullopt;
}
