// SPDX-License-Identifier: Apache-2.0
#include "providers/region/RegionProvider.h"

#include "base/Logging.h"
#include "base/XConnection.h"
#include "base/XcbXkb.h"
#include "providers/region/EnvironmentLocale.h"
#include "providers/region/KeyboardLayout.h"

#include <locale.h>

#include <bit>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <vector>

namespace {

using Base::XConnection;
using Base::XReply;

// Why the keyboard's display could not be opened, numbered as XKB's clients
// number them.
enum OpenReason : int {
    kOpenSuccess = 0,
    kOpenConnectionRefused = 2,
    kOpenNonXkbServer = 3,
    kOpenBadServerVersion = 4,
};
// A keyboard has at most four groups (layouts).
constexpr int kGroups = 4;

std::string readLocaleTag()
{
    const std::string tag =
        RegionProvider::localeTag(EnvironmentLocale::langinfo(LC_ADDRESS_MASK, "LC_ADDRESS", _NL_ADDRESS_LANG_AB),
                                  EnvironmentLocale::langinfo(LC_ADDRESS_MASK, "LC_ADDRESS", _NL_ADDRESS_COUNTRY_AB2));
    return KeyboardLayout::symbolToLocale(tag);
}

std::string readLanguage()
{
    return RegionProvider::languageName(
        EnvironmentLocale::langinfo(LC_IDENTIFICATION_MASK, "LC_IDENTIFICATION", _NL_IDENTIFICATION_LANGUAGE),
        EnvironmentLocale::langinfo(LC_IDENTIFICATION_MASK, "LC_IDENTIFICATION", _NL_IDENTIFICATION_TERRITORY));
}

void explainOpenFailure(int reason)
{
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || *display == '\0') {
        TRACE_WARNING << "No X display to read the keyboard from: DISPLAY is not set" << std::endl;
    } else if (reason == kOpenConnectionRefused) {
        TRACE_WARNING << "Cannot connect to the X display [" << display << "]" << std::endl;
    } else if (reason == kOpenNonXkbServer) {
        TRACE_WARNING << "The X display [" << display << "] has no keyboard extension" << std::endl;
    }
}

// The default display with XKB 1.0, with the reasons XKB's clients give,
// through a connection that neither a failed request nor a lost server can
// end the process with. Gives no connection when `reason` is not success.
std::unique_ptr<XConnection> openKeyboardDisplay(int& reason)
{
    auto connection = std::make_unique<XConnection>();
    if (!*connection) {
        reason = kOpenConnectionRefused;
        return nullptr;
    }
    switch (connection->xkb()) {
    case XConnection::Extension::missing:
        reason = connection->lost() ? kOpenConnectionRefused : kOpenNonXkbServer;
        return nullptr;
    case XConnection::Extension::unsupported:
        reason = kOpenBadServerVersion;
        return nullptr;
    case XConnection::Extension::ready:
        break;
    }
    reason = kOpenSuccess;
    return connection;
}

std::string atomName(const XConnection& connection, xcb_atom_t atom)
{
    if (atom == XCB_NONE) {
        return "";
    }
    xcb_connection_t* x = connection.get();
    const XReply<xcb_get_atom_name_reply_t> name =
        connection.reply(xcb_get_atom_name_reply(x, xcb_get_atom_name(x, atom), connection.error()));
    if (!name) {
        return "";
    }
    const char* text = xcb_get_atom_name_name(name.get());
    const int length = xcb_get_atom_name_name_length(name.get());
    if (length <= 0 || !XConnection::fits(name.get(), text, static_cast<std::size_t>(length))) {
        return "";
    }
    return std::string(text, static_cast<std::size_t>(length));
}

// One kind of XKB's names (`which`: one detail only): for the group names,
// the groups that have one (a bit each) and their atoms in that order; for
// the symbols, its one atom. Nullopt, with the code to report, when the
// server gives none, or answers with another kind or a list shorter than
// it claims.
struct KeyboardNames {
    unsigned groups = 0;
    std::vector<xcb_atom_t> atoms;
};
std::optional<KeyboardNames> keyboardNames(const XConnection& connection, uint32_t which, int& code)
{
    xcb_connection_t* x = connection.get();
    const XReply<xcb_xkb_get_names_reply_t> reply = connection.reply(
        xcb_xkb_get_names_reply(x, xcb_xkb_get_names(x, XCB_XKB_ID_USE_CORE_KBD, which), connection.error()), &code);
    if (!reply) {
        return std::nullopt;
    }
    // A reply refused for what it holds is reported as one that never came.
    code = XConnection::kNoAnswer;
    if (reply->which != which) {
        return std::nullopt;
    }
    KeyboardNames names;
    names.groups = which == XCB_XKB_NAME_DETAIL_GROUP_NAMES ? reply->groupNames : 0U;
    const std::size_t count =
        which == XCB_XKB_NAME_DETAIL_GROUP_NAMES ? static_cast<std::size_t>(std::popcount(names.groups)) : 1;
    const void* list = xcb_xkb_get_names_value_list(reply.get());
    if (!XConnection::fits(reply.get(), list, count * sizeof(xcb_atom_t))) {
        return std::nullopt;
    }
    names.atoms.resize(count);
    std::memcpy(names.atoms.data(), list, count * sizeof(xcb_atom_t));
    return names;
}

// The atom of group `group` (from 0): the server lists only the groups that
// have a name, so a group's place is the count of named groups before it.
xcb_atom_t groupName(const KeyboardNames& names, int group)
{
    if (group < 0 || group >= kGroups || (names.groups & (1U << group)) == 0) {
        return XCB_NONE;
    }
    const auto place = static_cast<std::size_t>(std::popcount(names.groups & ((1U << group) - 1U)));
    return place < names.atoms.size() ? names.atoms[place] : XCB_NONE;
}

using KeyboardReading = RegionProvider::KeyboardReading;

// The active group's layout name and locale, from an open XKB display.
void readLayout(const XConnection& connection, KeyboardReading& reading)
{
    xcb_connection_t* x = connection.get();
    int code = 0;
    const XReply<xcb_xkb_get_state_reply_t> state = connection.reply(
        xcb_xkb_get_state_reply(x, xcb_xkb_get_state(x, XCB_XKB_ID_USE_CORE_KBD), connection.error()), &code);
    if (!state) {
        TRACE_ERROR << "Failed to read keyboard state error [" << code << "]" << std::endl;
        return;
    }
    const int group = state->group;
    TRACE_VERBOSE << "Keyboard index is [" << group << "]" << std::endl;

    const std::optional<KeyboardNames> groups = keyboardNames(connection, XCB_XKB_NAME_DETAIL_GROUP_NAMES, code);
    if (!groups) {
        TRACE_ERROR << "Failed to find keyboard group names error [" << code << "]" << std::endl;
    } else {
        const std::string name = atomName(connection, groupName(*groups, group));
        if (!name.empty()) {
            TRACE_VERBOSE << "Found keyboard name [" << name << "]" << std::endl;
            reading.language = KeyboardLayout::normaliseName(KeyboardLayout::parseLayoutName(name));
        }
    }

    const std::optional<KeyboardNames> symbols = keyboardNames(connection, XCB_XKB_NAME_DETAIL_SYMBOLS, code);
    if (!symbols) {
        TRACE_ERROR << "Failed to find keyboard symbol names error [" << code << "]" << std::endl;
    } else {
        const std::string text = atomName(connection, symbols->atoms.front());
        TRACE_INFO << "Found symbol [" << text << "]" << std::endl;
        // A keyboard without a symbols name has no layouts to choose from.
        const std::vector<std::string> parts =
            text.empty() ? std::vector<std::string>{} : KeyboardLayout::layoutParts(text);
        const std::optional<std::size_t> chosen = KeyboardLayout::groupPart(parts, group);
        for (std::size_t index = 0; index < parts.size(); ++index) {
            if (chosen == index) {
                TRACE_VERBOSE << "Selecting locale [" << parts[index] << "]" << std::endl;
                reading.locale = KeyboardLayout::symbolToLocale(KeyboardLayout::parseLayoutName(parts[index]));
            } else {
                TRACE_VERBOSE << "Ignoring locale [" << parts[index] << "] index [" << index << "]" << std::endl;
            }
        }
    }
}

KeyboardReading readKeyboard()
{
    KeyboardReading reading;
    int reason = kOpenSuccess;
    const std::unique_ptr<XConnection> connection = openKeyboardDisplay(reason);
    if (!connection) {
        TRACE_ERROR << "Failed to open display error [" << reason << "]" << std::endl;
        explainOpenFailure(reason);
        return reading;
    }
    readLayout(*connection, reading);
    if (connection->lost()) {
        // What was read before the loss stays; the rest is unavailable.
        TRACE_ERROR << "Lost the connection to the X display while reading the keyboard" << std::endl;
    }
    return reading;
}

}  // namespace

std::future<PropertyMap> RegionProvider::getProperties()
{
    // While XKB's watch has announced nothing, the keyboard is not read again
    // and the reading, which then asks no X server, runs at once.
    const KeptKeyboard::Quiet watch = quiet();
    const std::optional<std::uint64_t> from = KeptKeyboard::generation(watch);
    std::optional<KeyboardReading> held = _keyboard->held(watch, from);
    const bool atHand = held.has_value();
    Collect collect = [kept = _keyboard, from, held = std::move(held)](PropertyCollector& properties) {
        TRACE_FUNCTION("getProperties");
        TRACE_VERBOSE << "Getting REGION properties..." << std::endl;
        properties.add(kTimezoneOffset, [] { return std::to_string(standardOffsetMinutes(std::time(nullptr))); });
        properties.add(kLocale, readLocaleTag);
        properties.add(kLanguage, readLanguage);
        if (properties.anySelected(kKeyboardKeys)) {
            KeyboardReading keyboard = held ? *held : readKeyboard();
            if (!held) {
                kept->keep(from, keyboard);
            }
            properties.add(kKeyboardLanguage, [&] { return std::move(keyboard.language); });
            properties.add(kKeyboardLocale, [&] { return std::move(keyboard.locale); });
        }
        TRACE_VERBOSE << "Done getting REGION properties." << std::endl;
    };
    return atHand ? atOnce(collect) : asynchronous(std::move(collect));
}

long RegionProvider::standardOffsetMinutes(std::time_t at)
{
    // localtime_r reads TZ only once per process unless told to read it again.
    tzset();
    std::tm local{};
    if (localtime_r(&at, &local) == nullptr) {
        return 0;
    }
    if (local.tm_isdst <= 0) {
        return local.tm_gmtoff / 60;
    }
    // Daylight saving time now: the nearest moment of standard time, looking
    // a month further back and ahead at each step.
    constexpr std::time_t kMonth = 30 * 24 * 60 * 60;
    for (std::time_t step = 1; step <= 12; ++step) {
        for (const std::time_t probe : {at - step * kMonth, at + step * kMonth}) {
            std::tm other{};
            if (localtime_r(&probe, &other) != nullptr && other.tm_isdst == 0) {
                return other.tm_gmtoff / 60;
            }
        }
    }
    // Daylight saving all year round: assume the usual hour.
    return local.tm_gmtoff / 60 - 60;
}

std::string RegionProvider::localeTag(const std::string& language, const std::string& country)
{
    if (language.empty()) {
        return country;
    }
    if (country.empty()) {
        return language;
    }
    return language + "-" + country;
}

std::string RegionProvider::languageName(const std::string& language, const std::string& territory)
{
    if (language.empty()) {
        return "";
    }
    if (territory.empty()) {
        return language;
    }
    return language + " (" + KeyboardLayout::normaliseName(territory) + ")";
}
