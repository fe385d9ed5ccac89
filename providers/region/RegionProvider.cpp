// SPDX-License-Identifier: Apache-2.0
#include "providers/region/RegionProvider.h"

#include "base/Logging.h"
#include "base/UniqueHandle.h"
#include "base/XConnection.h"
#include "base/XDisplay.h"
#include "providers/region/EnvironmentLocale.h"
#include "providers/region/KeyboardLayout.h"

#include <X11/XKBlib.h>
#include <locale.h>

#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>

namespace {

void freeKeyboard(XkbDescRec* keyboard)
{
    XkbFreeKeyboard(keyboard, XkbAllComponentsMask, True);
}
using KeyboardHandle = Base::UniqueHandle<XkbDescRec, freeKeyboard>;

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
    } else if (reason == XkbOD_ConnectionRefused) {
        TRACE_WARNING << "Cannot connect to the X display [" << display << "]" << std::endl;
    } else if (reason == XkbOD_NonXkbServer) {
        TRACE_WARNING << "The X display [" << display << "] has no keyboard extension" << std::endl;
    }
}

// The default display with XKB 1.0, in XkbOpenDisplay's steps and with its
// reasons, through a connection that neither a failed request nor a lost
// server can end the process with. Gives no connection when `reason` is not
// XkbOD_Success.
std::unique_ptr<Base::XConnection> openKeyboardDisplay(int& reason)
{
    int major = 1;
    int minor = 0;
    if (!XkbLibraryVersion(&major, &minor)) {
        reason = XkbOD_BadLibraryVersion;
        return nullptr;
    }
    auto connection = std::make_unique<Base::XConnection>();
    if (!*connection) {
        reason = XkbOD_ConnectionRefused;
        return nullptr;
    }
    int event = 0;
    int error = 0;
    if (!XkbQueryExtension(connection->get(), nullptr, &event, &error, &major, &minor)) {
        reason = major != 0 || minor != 0 ? XkbOD_BadServerVersion : XkbOD_NonXkbServer;
        return nullptr;
    }
    reason = XkbOD_Success;
    return connection;
}

std::string atomName(Display* display, Atom atom)
{
    if (atom == None) {
        return "";
    }
    const Base::XMemoryHandle<char> name(XGetAtomName(display, atom));
    return name ? name.get() : "";
}

using KeyboardReading = RegionProvider::KeyboardReading;

// The active group's layout name and locale, from an open XKB display.
void readLayout(Display* display, KeyboardReading& reading)
{
    XkbStateRec state{};
    const Status stateStatus = XkbGetState(display, XkbUseCoreKbd, &state);
    if (stateStatus != Success) {
        TRACE_ERROR << "Failed to read keyboard state error [" << stateStatus << "]" << std::endl;
        return;
    }
    const int group = state.group;
    TRACE_VERBOSE << "Keyboard index is [" << group << "]" << std::endl;

    const KeyboardHandle keyboard(XkbAllocKeyboard());
    if (!keyboard) {
        TRACE_ERROR << "Failed to allocate a keyboard description" << std::endl;
        return;
    }

    const Status groupStatus = XkbGetNames(display, XkbGroupNamesMask, keyboard.get());
    if (groupStatus != Success || keyboard->names == nullptr) {
        TRACE_ERROR << "Failed to find keyboard group names error [" << groupStatus << "]" << std::endl;
    } else if (group >= 0 && group < XkbNumKbdGroups) {
        const std::string name = atomName(display, keyboard->names->groups[group]);
        if (!name.empty()) {
            TRACE_VERBOSE << "Found keyboard name [" << name << "]" << std::endl;
            reading.language = KeyboardLayout::normaliseName(KeyboardLayout::parseLayoutName(name));
        }
    }

    const Status symbolsStatus = XkbGetNames(display, XkbSymbolsNameMask, keyboard.get());
    if (symbolsStatus != Success || keyboard->names == nullptr) {
        TRACE_ERROR << "Failed to find keyboard symbol names error [" << symbolsStatus << "]" << std::endl;
    } else {
        const std::string symbols = atomName(display, keyboard->names->symbols);
        TRACE_INFO << "Found symbol [" << symbols << "]" << std::endl;
        // A keyboard without a symbols name has no layouts to choose from.
        const std::vector<std::string> parts =
            symbols.empty() ? std::vector<std::string>{} : KeyboardLayout::layoutParts(symbols);
        for (std::size_t index = 0; index < parts.size(); ++index) {
            if (static_cast<int>(index) == group) {
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
    int reason = XkbOD_Success;
    const std::unique_ptr<Base::XConnection> connection = openKeyboardDisplay(reason);
    if (!connection) {
        TRACE_ERROR << "Failed to open display error [" << reason << "]" << std::endl;
        explainOpenFailure(reason);
        return reading;
    }
    readLayout(connection->get(), reading);
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
