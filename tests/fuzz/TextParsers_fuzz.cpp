// The parsers of what the host's services answer and of the system's text.
// The first byte picks the parser, the rest is its text:
//   0  a web service's answer, parsed as the web requests parse it, through
//      every location and whois decoder
//   1  the mount table, and udev's escaped values
//   2  IGEL's .icg.cfg
//   3  a keyboard layout or XKB symbols name
//   4  the logged-in user list, and an account name
#include "FuzzSupport.h"

#include "providers/igel/IgelProvider.h"
#include "providers/region/KeyboardLayout.h"
#include "providers/network/LocationProvider.h"
#include "providers/disk/LogicalDiskRules.h"
#include "providers/user/UserIdentity.h"
#include "providers/network/WhoisProvider.h"

#include <rapidjson/document.h>

#include <string>

namespace {

void webAnswer(const std::string& text)
{
    rapidjson::Document response;
    response.Parse<rapidjson::kParseIterativeFlag>(text.data(), text.size());
    if (response.HasParseError()) {
        return;
    }
    if (const std::optional<Location> location = locationFromResponse(response)) {
        mapLinkOf(*location);
    }
    addressFromResponse(response);
    addressFromResponseOne(response);
    addressFromResponseTwo(response);
    if (const std::optional<std::string> ip = ipFromResponse(response); ip && !isIpAddressText(*ip)) {
        FuzzSupport::fail("the whois decoder took [" + *ip + "] for an address");
    }
    dnsFromResponse(response);
    ispCountryFromResponse(response);
    getInternetNumberAuthorityFromRipeIsp(response);
}

void mountTable(const std::string& text)
{
    const MountTable table = LogicalDiskRules::parseMountTable(text);
    for (const MountEntry& entry : table) {
        LogicalDiskRules::joinDirectories(LogicalDiskRules::mountDirectories(table, entry.device));
    }
    LogicalDiskRules::decodeMountField(text);
    LogicalDiskRules::encodedValue(text.c_str());
    LogicalDiskRules::plainValue(text.c_str());
    LogicalDiskRules::printable(text.c_str());
}

void keyboardLayout(const std::string& text)
{
    KeyboardLayout::normaliseName(text);
    KeyboardLayout::symbolToLocale(text);
    KeyboardLayout::parseLayoutName(text);
    for (const std::string& part : KeyboardLayout::layoutParts(text)) {
        KeyboardLayout::symbolToLocale(KeyboardLayout::parseLayoutName(part));
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    FuzzSupport::initialise();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 5) {
    case 0:
        webAnswer(text);
        break;
    case 1:
        mountTable(text);
        break;
    case 2:
        IgelProvider::parseIcgConfig(text);
        break;
    case 3:
        keyboardLayout(text);
        break;
    default:
        UserIdentity::fromUserList(text);
        UserIdentity::fromAccountName(text);
        break;
    }
    return 0;
}
