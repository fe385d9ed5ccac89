// SPDX-License-Identifier: Apache-2.0
// RegionProvider against tzdata, locales that localedef builds into the test
// build and a keyboard on Xvfb. TZ and the locale variables are process-wide:
// ctest runs each test alone.
#include <gtest/gtest.h>

#include "providers/region/EnvironmentLocale.h"
#include "providers/region/RegionProvider.h"
#include "support/Categories.h"
#include "support/LogWatch.h"
#include "support/MainLoop.h"
#include "support/MountNamespace.h"
#include "support/XServer.h"


#include <atomic>
#include <cstdlib>
#include <filesystem>

using TestSupport::ScopedEnv;

// glibc's newlocale loses its copy of LOCPATH's directory list at every call
// while LOCPATH is set; the library makes each locale object once.
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_suppressions()
{
    return "leak:__argz_add_sep\n";
}

namespace {
PropertyMap read(int32_t filter, int32_t status = 1)
{
    return TestSupport::readProvider<RegionProvider>("Region", status, filter);
}

std::optional<std::string> value(const char* text)
{
    return text ? std::optional<std::string>(text) : std::nullopt;
}
}  // namespace

TEST(RegionProviderTest, RulesOfTheTimeZoneAndTheLocaleNames)
{
    // 2026-01-15 and 2026-07-15, 12:00 UTC: the offset of standard time.
    for (const auto& [zone, standard] : std::initializer_list<std::pair<const char*, long>>{
             {"Europe/Berlin", 60}, {"America/New_York", -300}, {"Australia/Lord_Howe", 630}, {"UTC", 0}}) {
        const ScopedEnv tz("TZ", zone);
        EXPECT_EQ(RegionProvider::standardOffsetMinutes(1768478400), standard) << zone;
        EXPECT_EQ(RegionProvider::standardOffsetMinutes(1784116800), standard) << zone;
    }
    EXPECT_EQ(RegionProvider::localeTag("en", "US"), "en-US");
    EXPECT_EQ(RegionProvider::localeTag("en", "") + "|" + RegionProvider::localeTag("", "US"), "en|US");
    EXPECT_EQ(RegionProvider::languageName("Esperanto", ""), "Esperanto");
    // LC_ALL, then the category's variable, then LANG; empty ones do not count.
    for (const auto& [all, address, lang, expected] : std::initializer_list<std::array<const char*, 4>>{
             {nullptr, nullptr, nullptr, "C"}, {nullptr, nullptr, "de_DE", "de_DE"},
             {nullptr, "en_GB", "de_DE", "en_GB"}, {"", "en_GB", "de_DE", "en_GB"}, {"en_US", "en_GB", "de_DE", "en_US"}}) {
        const ScopedEnv a("LC_ALL", value(all)), b("LC_ADDRESS", value(address)), c("LANG", value(lang));
        EXPECT_EQ(EnvironmentLocale::name("LC_ADDRESS"), expected) << expected;
    }
}

TEST(RegionProviderTest, ReadingOfTheLocalesAndTheKeyboard)
{
    // en_US and de_DE, built once for the build tree, each moved into place whole.
    const std::filesystem::path locales = REGION_TEST_LOCALE_DIR;
    std::filesystem::create_directories(locales);
    for (const std::string name : {"en_US", "de_DE"}) {
        const std::string target = (locales / name).string() + ".UTF-8", partial = target + std::to_string(getpid());
        if (!std::filesystem::exists(target + "/LC_ADDRESS")) {  // localedef may warn and still build it
            [[maybe_unused]] const int status = std::system(("localedef -i " + name + " -f UTF-8 " + partial).c_str());
            std::error_code ignored;  // when another process was first
            std::filesystem::rename(partial, target, ignored);
            std::filesystem::remove_all(partial);
        }
    }
    const ScopedEnv path("LOCPATH", locales.string()), all("LC_ALL", std::nullopt), tz("TZ", "America/New_York");
    const ScopedEnv address("LC_ADDRESS", std::nullopt), identification("LC_IDENTIFICATION", std::nullopt);
    const std::string processLocale = std::setlocale(LC_ALL, nullptr);
    const TestSupport::LogWatch log;
    for (const auto& [lang, locale, language] : std::initializer_list<std::array<const char*, 3>>{
             {"en_US.UTF-8", "en-US", "American English (United States)"}, {"de_DE.UTF-8", "de-DE", "German (Germany)"},
             {"C", "", ""}, {nullptr, "", ""}, {"xx_YY.UTF-8", "", ""}, {"../../etc/passwd", "", ""}, {"xx_YY.UTF-8", "", ""}}) {
        const ScopedEnv variable("LANG", value(lang));
        EXPECT_EQ(read(0x01 | 0x02 | 0x04), (PropertyMap{{"DEVICE_REGION_LANGUAGE", language},
                                                         {"DEVICE_REGION_LOCALE", locale},
                                                         {"DEVICE_REGION_TIMEZONE_OFFSET", "-300"}}))
            << (lang ? lang : "(no LANG)");
    }
    EXPECT_EQ(std::setlocale(LC_ALL, nullptr), processLocale);  // never switched
    EXPECT_EQ(log.count("WARNING - Failed to load locale [xx_YY.UTF-8] for [LC_ADDRESS]"), 1U) << log.text();  // once
    // The keyboard: its active group's layout; Unavailable without a display.
    for (const auto& [name, warning] : std::initializer_list<std::array<const char*, 2>>{
             {nullptr, "WARNING - No X display to read the keyboard from: DISPLAY is not set"},
             {":4711", "WARNING - Cannot connect to the X display [:4711]"}}) {
        const ScopedEnv display("DISPLAY", value(name));
        const TestSupport::LogWatch failed;
        EXPECT_EQ(read(0x08 | 0x10), (PropertyMap{{"DEVICE_REGION_KEYBOARD_LANGUAGE", "Unavailable"},
                                                  {"DEVICE_REGION_KEYBOARD_LOCALE", "Unavailable"}}));
        EXPECT_EQ(read(0x01).size(), 1U);  // no keyboard key: no display opened
        EXPECT_EQ(failed.count("ERROR - Failed to open display error [2]"), 1U) << failed.text();
        EXPECT_TRUE(failed.contains(warning)) << failed.text();
    }
    const TestSupport::XServer server;
    ASSERT_EQ(std::system(("DISPLAY=" + server.display() + " setxkbmap -layout us,de").c_str()), 0);
    const ScopedEnv display("DISPLAY", server.display());
    EXPECT_EQ(read(0x08 | 0x10), (PropertyMap{{"DEVICE_REGION_KEYBOARD_LANGUAGE", "English (United States)"},
                                              {"DEVICE_REGION_KEYBOARD_LOCALE", "en-US"}}));
    ASSERT_TRUE(TestSupport::lockKeyboardGroup(1));  // the second group
    EXPECT_EQ(read(0x08 | 0x10),
              (PropertyMap{{"DEVICE_REGION_KEYBOARD_LANGUAGE", "German"}, {"DEVICE_REGION_KEYBOARD_LOCALE", "de-DE"}}));
    EXPECT_EQ(read(0, 0), PropertyMap{});
}

// A new system time zone (/etc/localtime replaced, through an overlay over /etc in this process's own mount
// namespace) is announced, and the reading after it has the new offset.
TEST(RegionProviderTest, ANewSystemTimeZoneIsAnnounced)
{
    const TestSupport::TempDir layers;
    std::filesystem::create_directory(layers.file("upper")), std::filesystem::create_directory(layers.file("work"));
    const std::string options = "lowerdir=/etc,upperdir=" + layers.file("upper") + ",workdir=" + layers.file("work");
    const TestSupport::ScopedMount etc("overlay", "/etc", "overlay", options.c_str());
    const ScopedEnv tz("TZ", std::nullopt);
    std::atomic<int> changes{0};
    RegionProvider provider(TestSupport::category("Region"), "20.1");
    provider.monitorForChanges([&changes](std::shared_ptr<Category const>) { ++changes; });
    provider.awaitMonitoring();
    for (const auto& [zone, offset] : {std::pair{"Asia/Tokyo", "540"}, {"America/New_York", "-300"}}) {
        const int before = changes;
        std::filesystem::create_symlink(std::string("/usr/share/zoneinfo/") + zone, "/etc/localtime.new");
        std::filesystem::rename("/etc/localtime.new", "/etc/localtime");
        EXPECT_TRUE(TestSupport::waitUntil([&] { return changes > before; })) << zone;
        EXPECT_EQ(read(0x01), (PropertyMap{{"DEVICE_REGION_TIMEZONE_OFFSET", offset}})) << zone;
    }
    provider.close();
}
