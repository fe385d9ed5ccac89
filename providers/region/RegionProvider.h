// Category "Region": time zone offset, locale, language and keyboard layout.
//
// The environment's locale is read through locale objects of its own
// (EnvironmentLocale), so the process locale that the hosting program's
// threads use is never switched. Each reading opens and closes its own X connection for the
// keyboard.
#pragma once

#include "properties/Provider.h"

#include <ctime>
#include <string>

class RegionProvider : public ProviderOf<RegionProvider> {
public:
    static constexpr PropertyKey kTimezoneOffset{"DEVICE_REGION_TIMEZONE_OFFSET", 0x01};
    static constexpr PropertyKey kLocale{"DEVICE_REGION_LOCALE", 0x04};
    static constexpr PropertyKey kLanguage{"DEVICE_REGION_LANGUAGE", 0x02};
    static constexpr PropertyKey kKeyboardLanguage{"DEVICE_REGION_KEYBOARD_LANGUAGE", 0x08};
    static constexpr PropertyKey kKeyboardLocale{"DEVICE_REGION_KEYBOARD_LOCALE", 0x10};

    using ProviderOf::ProviderOf;

    std::future<PropertyMap> getProperties() override;

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
};
