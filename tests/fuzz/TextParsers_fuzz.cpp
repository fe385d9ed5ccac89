// SPDX-License-Identifier: Apache-2.0
// The parsers of what the host's services answer and of the system's text. The first byte picks the parser,
// the rest is its text: 0 a web service's answer through every location and whois decoder, 1 the mount table,
// udev's escaped values and sysfs links, paths and uevent files, 2 IGEL's .icg.cfg, 3 a keyboard layout or XKB
// symbols name, 4 login records, the logged-in user list and an account name, 5 the owner's policy file.
#include "FuzzSupport.h"

#include "base/Policy.h"
#include "base/Sysfs.h"

#include "providers/disk/LogicalDiskRules.h"
#include "providers/igel/IgelProvider.h"
#include "providers/network/LocationProvider.h"
#include "providers/network/WhoisProvider.h"
#include "providers/region/KeyboardLayout.h"
#include "providers/user/LoginRecords.h"
#include "providers/user/UserIdentity.h"

#include <rapidjson/document.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const std::string text = size == 0 ? "" : std::string(reinterpret_cast<const char*>(data) + 1, size - 1);
    rapidjson::Document response;
    switch (size == 0 ? 6 : data[0] % 6) {
    case 0:
        if (response.Parse<rapidjson::kParseIterativeFlag>(text.data(), text.size()).HasParseError()) break;
        if (const std::optional<Location> location = locationFromResponse(response)) mapLinkOf(*location);
        addressFromResponse(response);
        addressFromResponseOne(response);
        addressFromResponseTwo(response);
        if (const std::optional<std::string> ip = ipFromResponse(response); ip && !isIpAddressText(*ip)) {
            FuzzSupport::fail("the whois decoder took [" + *ip + "] for an address");
        }
        dnsFromResponse(response);
        ispCountryFromResponse(response);
        getInternetNumberAuthorityFromRipeIsp(response);
        break;
    case 1:
        for (const MountTable table = LogicalDiskRules::parseMountTable(text); const MountEntry& entry : table) {
            LogicalDiskRules::joinDirectories(LogicalDiskRules::mountDirectories(table, entry.device));
        }
        LogicalDiskRules::decodeMountField(text);
        LogicalDiskRules::encodedValue(text.c_str());
        LogicalDiskRules::plainValue(text.c_str());
        LogicalDiskRules::printable(text.c_str());
        if (const std::string target = Base::Sysfs::linkTarget("/sys/class/block", text);
            target.front() != '/' || target.find("//") != std::string::npos ||
            target.find("/./") != std::string::npos || target.find("/../") != std::string::npos ||
            (target.size() > 1 && target.back() == '/')) {
            FuzzSupport::fail("the link [" + text + "] led to [" + target + "]");
        }
        for (const std::string& parent : Base::Sysfs::parentDirectories(text)) {
            if (text.compare(0, parent.size(), parent) != 0 || parent.size() <= std::string("/sys/devices/").size()) {
                FuzzSupport::fail("[" + parent + "] is no directory above [" + text + "]");
            }
        }
        Base::Sysfs::ueventValue(text, "DEVTYPE");
        break;
    case 2:
        IgelProvider::parseIcgConfig(text);
        break;
    case 3:
        KeyboardLayout::normaliseName(text);
        if (const std::vector<std::string> parts = KeyboardLayout::layoutParts(text); !parts.empty()) {
            for (const std::string& part : parts) {
                KeyboardLayout::symbolToLocale(KeyboardLayout::parseLayoutName(part));
            }
            for (int group = 0; group < 4; ++group) {
                if (const std::optional<std::size_t> chosen = KeyboardLayout::groupPart(parts, group);
                    chosen && *chosen >= parts.size()) {
                    FuzzSupport::fail("group [" + std::to_string(group) + "] has no part [" + std::to_string(*chosen) + "]");
                }
            }
        }
        KeyboardLayout::symbolToLocale(KeyboardLayout::parseLayoutName(text));
        KeyboardLayout::symbolToLocale(text);
        break;
    case 4:
        if (const std::string list = LoginRecords::userList(text, [](pid_t pid) { return pid % 2 == 0; });
            list.size() > text.size()) {
            FuzzSupport::fail("the login records gave [" + list + "]");
        }
        UserIdentity::fromUserList(text);
        UserIdentity::fromAccountName(text);
        break;
    case 5: {
        const Base::Policy policy = Base::Policy::parse(text, "fuzz", {"Display", "Location", "Network", "Whois"});
        policy.allowsCategory("Location", true);
        policy.allowsCategory("Display", false);
        policy.allowsHost("geo.example.com");
        break;
    }
    }
    return 0;
}
