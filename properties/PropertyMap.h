// SPDX-License-Identifier: Apache-2.0
// Property readings: keys in ascending order, values as text.
#pragma once

#include <map>
#include <string>
#include <vector>

using PropertyMap = std::map<std::string, std::string>;

// The result of one change check.
struct PropertyChanges {
    PropertyMap updated;               // new or changed keys, with their new values
    std::vector<std::string> removed;  // keys no longer reported, ascending

    bool empty() const { return updated.empty() && removed.empty(); }
};
