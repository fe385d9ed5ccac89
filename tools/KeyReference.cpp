// SPDX-License-Identifier: Apache-2.0
#include "tools/KeyReference.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <sstream>
#include <vector>

namespace {

// The owner's policy keys, below the reference of every category.
const char* const kPolicySection =
    "\n## The owner's policy\n\n"
    "`/etc/cvclient/policy.conf` (a GLib key file, read at the first connection of a process; see\n"
    "README.md) can take categories away from every host and limit the web requests of Location\n"
    "and Whois. A category taken away reports no key at all; a refused request gives the failure\n"
    "values above.\n\n"
    "| Key | Meaning |\n|---|---|\n"
    "| `[categories] deny` | these categories are never served |\n"
    "| `[categories] allow` | only these categories are served |\n"
    "| `[web] allow-hosts` | requests only to these hosts (exact, or `*.example.com`) |\n"
    "| `[web] deny-local-addresses` | `true`: no connection to a loopback, private, link-local or "
    "unspecified address |\n"
    "| `[web] send-access-points` | `false`: Location sends no access points; its keys report "
    "`Unavailable` |\n";

// One key's columns, in the order both forms show them.
std::array<std::string, 6> columns(const PropertyKey& key)
{
    return {key.key, KeyReference::bitText(key.bit), key.meaning, *key.unit != '\0' ? key.unit : "-",
            KeyReference::failureText(key), KeyReference::hostsText(key)};
}

}  // namespace

KeyReference::KeyReference(std::span<const Factory::Entry> table, std::string category)
    : _table(table), _category(std::move(category))
{
}

std::string KeyReference::failureText(const PropertyKey& key)
{
    if (key.failure == nullptr) {
        return "(left out)";
    }
    return *key.failure != '\0' ? key.failure : "(empty)";
}

std::string KeyReference::hostsText(const PropertyKey& key)
{
    switch (key.hosts) {
    case PropertyKey::Hosts::From20_1:
        return "20.1 and later";
    case PropertyKey::Hosts::Before20_1:
        return "before 20.1";
    case PropertyKey::Hosts::All:
        break;
    }
    return "all";
}

std::string KeyReference::bitText(uint32_t bit)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%X", bit);
    return text;
}

std::string KeyReference::text() const
{
    static const std::array<std::string, 6> kHeader{"KEY", "BIT", "MEANING", "UNIT", "FAILURE", "HOSTS"};
    std::ostringstream out;
    for (const Factory::Entry& entry : _table) {
        if (!_category.empty() && _category != entry.name) {
            continue;
        }
        std::vector<std::array<std::string, 6>> rows{kHeader};
        for (const PropertyKey& key : entry.keys) {
            rows.push_back(columns(key));
        }
        std::array<std::size_t, 6> width{};
        for (const auto& row : rows) {
            for (std::size_t i = 0; i < row.size(); ++i) {
                width[i] = std::max(width[i], row[i].size());
            }
        }
        out << (out.tellp() > 0 ? "\n" : "") << "[" << entry.name << "]\n";
        for (const auto& row : rows) {
            std::string line = " ";
            for (std::size_t i = 0; i < row.size(); ++i) {
                line += " " + row[i] + std::string(i + 1 < row.size() ? width[i] - row[i].size() : 0, ' ');
            }
            out << line << "\n";
        }
    }
    if (_category.empty()) {
        out << kPolicySection;
    }
    return out.str();
}

std::string KeyReference::markdown() const
{
    std::ostringstream out;
    out << "# Property keys\n"
        << "\n"
        << "Generated from the providers' key tables by `cvclient-probe --list-keys --format markdown`;\n"
        << "the build makes it again and a test fails when this file differs.\n"
        << "\n"
        << "A host asks for a category in full or for the keys whose bits are set in its filter\n"
        << "(`cvclient-probe --filter Hardware=0x5`). In a key, `%d` is the index of an item of a group,\n"
        << "from 0, and the group's `_COUNT` key says how many there are. The failure value is what a key\n"
        << "reports when its source cannot be read: a text, `(empty)` for the empty text, or `(left out)`\n"
        << "when the key is then not reported at all. Hosts: the host versions the key is sent to; hosts\n"
        << "before 20.1 are sent some facts under older keys.\n";
    for (const Factory::Entry& entry : _table) {
        if (!_category.empty() && _category != entry.name) {
            continue;
        }
        out << "\n## " << entry.name << "\n\n"
            << "| Key | Bit | Meaning | Unit | Failure value | Hosts |\n"
            << "|---|---|---|---|---|---|\n";
        for (const PropertyKey& key : entry.keys) {
            auto row = columns(key);
            row[0] = "`" + row[0] + "`";
            std::string line = "|";
            for (std::string& cell : row) {
                std::string escaped;
                for (const char c : cell) {
                    escaped += c == '|' ? std::string("\\|") : std::string(1, c);
                }
                line += " " + escaped + " |";
            }
            out << line << "\n";
        }
    }
    if (_category.empty()) {
        out << kPolicySection;
    }
    return out.str();
}
