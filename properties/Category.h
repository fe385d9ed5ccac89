// SPDX-License-Identifier: Apache-2.0
// One category the host asked for; built by the Initialise parser and shared
// read-only afterwards.
#pragma once

#include <cstdint>
#include <map>
#include <string>

struct Category {
    std::string name;
    int32_t status = 2;  // 0 off, 2 everything, other: the bits of `filter`
    std::map<std::string, std::string> config;
    int32_t filter = 0;

    // The key selection rule: a key with filter bit `bit` is reported when the
    // status is 2, or when the status is not 0 and the filter has the bit.
    bool selects(uint32_t bit) const
    {
        return status == 2 || (status != 0 && (static_cast<uint32_t>(filter) & bit) != 0);
    }
};
