// SPDX-License-Identifier: Apache-2.0
// Every category the host can name, in the order the host names them, with
// the create function of its provider and the keys it can report: the one
// list the engine's factory, the probe and the tests take them from.
#pragma once

#include "properties/Factory.h"

#include <span>
#include <string_view>

class Categories {
public:
    static std::span<const Factory::Entry> table();

    // The category of a key that one of the tables names; null for any other key.
    static const Factory::Entry* ofKey(std::string_view key);
};
