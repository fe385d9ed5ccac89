// SPDX-License-Identifier: Apache-2.0
// A key a provider can report: its name, the filter bit that selects it, what
// it means, what it reports when its source cannot be read, and which hosts
// it is for. A provider declares all its keys in one table of these, and the
// keys reference (cvclient-probe --list-keys, docs/keys.md) is made from them.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

struct PropertyKey {
    // The key, or for an item of a group its template: "%d" stands for the
    // item's index, from 0 (DEVICE_DISPLAY_%d_NAME).
    const char* key;
    uint32_t bit;
    const char* meaning = "";
    const char* unit = "";
    // The value when the fact cannot be determined; null: the key is left out.
    const char* failure = "Unavailable";
    // Hosts before 20.1 and from 20.1 on are sent different keys for some
    // facts; a key not for the host's version is never reported.
    enum class Hosts : uint8_t { All, From20_1, Before20_1 };
    Hosts hosts = Hosts::All;

    // Whether `name` is this key, or an item of it when it is a template.
    constexpr bool names(std::string_view name) const
    {
        const std::string_view text(key);
        const std::size_t marker = text.find("%d");
        if (marker == std::string_view::npos) {
            return name == text;
        }
        const std::string_view head = text.substr(0, marker);
        const std::string_view tail = text.substr(marker + 2);
        if (name.size() <= head.size() + tail.size() || !name.starts_with(head) || !name.ends_with(tail)) {
            return false;
        }
        for (const char c : name.substr(head.size(), name.size() - head.size() - tail.size())) {
            if (c < '0' || c > '9') {
                return false;
            }
        }
        return true;
    }
};

// A provider's key table, or a run of it.
using PropertyKeys = std::span<const PropertyKey>;

// Short names for the table entries.
inline constexpr PropertyKey::Hosts kFrom20_1 = PropertyKey::Hosts::From20_1;
inline constexpr PropertyKey::Hosts kBefore20_1 = PropertyKey::Hosts::Before20_1;
