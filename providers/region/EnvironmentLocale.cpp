// SPDX-License-Identifier: Apache-2.0
#include "providers/region/EnvironmentLocale.h"

#include "base/Logging.h"
#include "base/UniqueHandle.h"

#include <locale.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <map>
#include <mutex>
#include <system_error>
#include <type_traits>
#include <utility>

namespace {

using LocaleHandle = Base::UniqueHandle<std::remove_pointer_t<locale_t>, freelocale>;

class LocaleCache {
public:
    // The locale object for the categories of `mask` and `name`; the C locale
    // when that cannot be loaded, null only when not even that can be made.
    locale_t get(int mask, const std::string& name, const char* categoryVariable)
    {
        const std::lock_guard<std::mutex> lock(_mutex);
        auto found = _locales.find({mask, name});
        if (found == _locales.end()) {
            LocaleHandle locale(newlocale(mask, name.c_str(), nullptr));
            if (!locale) {
                const std::string reason = std::error_code(errno, std::generic_category()).message();
                TRACE_WARNING << "Failed to load locale [" << name << "] for [" << categoryVariable << "] error ["
                              << reason << "], using the C locale" << std::endl;
                locale.reset(newlocale(mask, "C", nullptr));
            }
            found = _locales.emplace(std::make_pair(mask, name), std::move(locale)).first;
        }
        return found->second.get();
    }

private:
    std::mutex _mutex;
    std::map<std::pair<int, std::string>, LocaleHandle> _locales;
};

LocaleCache& cache()
{
    static LocaleCache instance;
    return instance;
}

}  // namespace

std::string EnvironmentLocale::name(const char* categoryVariable)
{
    for (const char* variable : {"LC_ALL", categoryVariable, "LANG"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && *value != '\0') {
            return value;
        }
    }
    return "C";
}

std::string EnvironmentLocale::langinfo(int mask, const char* categoryVariable, nl_item item)
{
    const locale_t locale = cache().get(mask, name(categoryVariable), categoryVariable);
    if (locale == nullptr) {
        return "";
    }
    // The text stays valid as long as the locale object, which is kept.
    const char* text = nl_langinfo_l(item, locale);
    return text != nullptr ? text : "";
}
