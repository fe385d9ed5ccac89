// SPDX-License-Identifier: Apache-2.0
// The keys reference: every key the library's providers can report, from
// their key tables, with its filter bit, meaning, unit, failure value and the
// hosts it is for. Pure: the table in, text out.
#pragma once

#include "properties/Factory.h"

#include <span>
#include <string>

class KeyReference {
public:
    // `category`: only that category's keys; empty: every category.
    KeyReference(std::span<const Factory::Entry> table, std::string category);

    // For a terminal: a block of aligned columns per category.
    std::string text() const;

    // docs/keys.md.
    std::string markdown() const;

    // How a failure value and a key's hosts are written in both forms.
    static std::string failureText(const PropertyKey& key);
    static std::string hostsText(const PropertyKey& key);
    static std::string bitText(uint32_t bit);

private:
    std::span<const Factory::Entry> _table;
    std::string _category;
};
