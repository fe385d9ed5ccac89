// SPDX-License-Identifier: Apache-2.0
// Category "Region": time zone offset, locale, language and keyboard layout.
//
// The environment's locale is read through locale objects of its own
// (EnvironmentLocale), so the process locale that the hosting program's
// threads use is never switched. Each reading opens and closes its own X connection for the
// keyboard; while monitoring, the keyboard's reading is kept as long as the
// watch has announced nothing (KeptWhileQuiet).
#pragma once

#include "base/LazyLibrary.h"
#include "properties/KeptWhileQuiet.h"
#include "properties/Provider.h"

#include <ctime>
#include <memory>
#include <optional>
#include <string>

class RegionProvider : public ProviderOf<RegionProvider> {
public:
    // The platform libraries it calls into: xcb and its XKB (the keyboard layout and its changes).
    static constexpr Base::LazyLibrary::Set kLibraries =
        Base::LazyLibrary::bit(Base::LazyLibrary::Xcb) | Base::LazyLibrary::bit(Base::LazyLibrary::XcbXkb);
    static constexpr PropertyKey kKeys[] = {
        {"DEVICE_REGION_TIMEZONE_OFFSET", 0x01, "offset of standard time from UTC, east positive", "minutes", ""},
        {"DEVICE_REGION_LOCALE", 0x04, "locale tag of the environment, such as en-US", "", ""},
        {"DEVICE_REGION_LANGUAGE", 0x02, "language and territory of the environment's locale", "", ""},
        {"DEVICE_REGION_KEYBOARD_LANGUAGE", 0x08, "language of the keyboard layout"},
        {"DEVICE_REGION_KEYBOARD_LOCALE", 0x10, "locale tag of the keyboard layout"},
    };
    static constexpr const PropertyKey& kTimezoneOffset = kKeys[0];
    static constexpr const PropertyKey& kLocale = kKeys[1];
    static constexpr const PropertyKey& kLanguage = kKeys[2];
    static constexpr const PropertyKey& kKeyboardLanguage = kKeys[3];
    static constexpr const PropertyKey& kKeyboardLocale = kKeys[4];
    // The keys read from the keyboard layout.
    static constexpr PropertyKeys kKeyboardKeys{&kKeyboardLanguage, &kKeyboardLocale + 1};

    using ProviderOf::ProviderOf;

    std::future<PropertyMap> getProperties() override;
    // A new system time zone replaces /etc/localtime (and /etc/timezone); XKB
    // announces another keyboard group in use and a new keymap.
    void monitorForChanges(const ChangeCallback& callback) override
    {
        watchChanges({.files = {"/etc/localtime", "/etc/timezone"}, .display = {.keyboardGroup = true}}, callback);
    }

    // The offset of standard time from UTC in minutes, east positive, in the
    // local time zone (TZ) around the moment `at`: the offset at `at` itself
    // when that is standard time, otherwise the offset at the nearest moment
    // of standard time within a year, whatever the size of the daylight
    // saving shift.
    static long standardOffsetMinutes(std::time_t at);

    // The locale tag of a language and a country code: "en" and "US" give
    // "en-US", one alone stands for itself, none gives "".
    static std::string localeTag(const std::string& language, const std::string& country);

    // "English (United States)" for "English" and "USA"; the language alone
    // without a territory, and "" without a language (the C locale names no
    // language).
    static std::string languageName(const std::string& language, const std::string& territory);

    // The keyboard layout's language and locale tag, as read from XKB.
    struct KeyboardReading {
        std::optional<std::string> language;
        std::optional<std::string> locale;
    };

private:
    using KeptKeyboard = KeptWhileQuiet<KeyboardReading>;
    std::shared_ptr<KeptKeyboard> _keyboard = std::make_shared<KeptKeyboard>();
};
