// SPDX-License-Identifier: Apache-2.0
// The locale that the environment names (LC_ALL, a category's own variable,
// LANG), read through locale objects of its own: the process locale, which
// the hosting program's threads use, is never switched.
//
// Locale objects are made once per name and kept for the life of the
// process. glibc keeps loaded locale data for good anyway, and its newlocale
// loses a little memory on every call while LOCPATH is set; made once, that
// stays bounded by the number of names.
#pragma once

#include <langinfo.h>

#include <string>

class EnvironmentLocale {
public:
    // The locale name the environment chooses for one locale category, as
    // setlocale(category, "") would: LC_ALL, then the category's own variable
    // (`categoryVariable`, such as "LC_ADDRESS"), then LANG; "C" when none is
    // set or all are empty.
    static std::string name(const char* categoryVariable);

    // The text of `item` in the environment's locale for the category of
    // `mask` (LC_ADDRESS_MASK with "LC_ADDRESS", ...). A locale that cannot be
    // loaded (not installed, not a locale name) is logged once and read as the
    // C locale.
    static std::string langinfo(int mask, const char* categoryVariable, nl_item item);
};
