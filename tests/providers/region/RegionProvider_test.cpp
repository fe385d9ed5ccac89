// The region provider against the C library's time zones (tzdata), locales
// that localedef builds into the test build, and a keyboard on a real Xvfb.
// TZ and the locale variables are process-wide: ctest runs each test alone.
// GoogleTest first: Xlib's macros (None, Bool) clash with its names.
#include <gtest/gtest.h>

#include "providers/region/RegionProvider.h"

#include "providers/region/EnvironmentLocale.h"

#include "support/Categories.h"
#include "support/LogWatch.h"
#include "support/XServer.h"

#include <X11/XKBlib.h>

#include <filesystem>

using TestSupport::LogWatch;
using TestSupport::ScopedEnv;

// glibc's newlocale loses its copy of LOCPATH's directory list at every call
// while LOCPATH is set; the library makes each locale object once.
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_suppressions()
{
    return "leak:__argz_add_sep\n";
}

namespace {

PropertyMap read(int32_t status = 2, int32_t filter = 0)
{
    return TestSupport::readProvider<RegionProvider>("Region", status, filter);
}

// The directory for LOCPATH with en_US.UTF-8 and de_DE.UTF-8, built once for
// the build tree; each is moved into place whole.
std::string testLocales()
{
    const std::filesystem::path directory = REGION_TEST_LOCALE_DIR;
    std::filesystem::create_directories(directory);
    for (const std::string name : {"en_US", "de_DE"}) {
        const std::filesystem::path target = directory / (name + ".UTF-8");
        const std::string partial = target.string() + "." + std::to_string(getpid());
        if (!std::filesystem::exists(target / "LC_ADDRESS")) {
            // localedef may warn with a non-zero status and still write it.
            [[maybe_unused]] const int status = std::system(("localedef -i " + name + " -f UTF-8 " + partial).c_str());
            std::error_code ignored;  // when another process was first
            std::filesystem::rename(partial, target, ignored);
            std::filesystem::remove_all(partial);
        }
    }
    return directory.string();
}

}  // namespace

TEST(RegionProviderTest, RulesOfTheTimeZoneAndTheLocaleNames)
{
    // 2026-01-15 and 2026-07-15, 12:00 UTC: the offset of standard time.
    const std::tuple<const char*, long> zones[] = {
        {"Europe/Berlin", 60}, {"America/New_York", -300}, {"Australia/Lord_Howe", 630}, {"Asia/Kolkata", 330},
        {"UTC", 0}};
    for (const auto& [zone, standard] : zones) {
        const ScopedEnv tz("TZ", zone);
        EXPECT_EQ(RegionProvider::standardOffsetMinutes(1768478400), standard) << zone;
        EXPECT_EQ(RegionProvider::standardOffsetMinutes(1784116800), standard) << zone;
    }
    EXPECT_EQ(RegionProvider::localeTag("en", "US"), "en-US");
    EXPECT_EQ(RegionProvider::localeTag("en", ""), "en");
    EXPECT_EQ(RegionProvider::localeTag("", "US"), "US");
    EXPECT_EQ(RegionProvider::languageName("English", "USA"), "English (United States)");
    EXPECT_EQ(RegionProvider::languageName("German", "Germany"), "German (Germany)");
    EXPECT_EQ(RegionProvider::languageName("Esperanto", ""), "Esperanto");
    EXPECT_EQ(RegionProvider::languageName("", "ISO"), "");

    // LC_ALL, then the category's variable, then LANG; empty ones do not count.
    const std::tuple<const char*, const char*, const char*, const char*> precedence[] = {
        {nullptr, nullptr, nullptr, "C"}, {nullptr, nullptr, "de_DE", "de_DE"}, {nullptr, "en_GB", "de_DE", "en_GB"},
        {"", "en_GB", "de_DE", "en_GB"}, {"en_US", "en_GB", "de_DE", "en_US"}};
    for (const auto& [all, address, lang, expected] : precedence) {
        const auto value = [](const char* text) { return text ? std::optional<std::string>(text) : std::nullopt; };
        const ScopedEnv a("LC_ALL", value(all)), b("LC_ADDRESS", value(address)), c("LANG", value(lang));
        EXPECT_EQ(EnvironmentLocale::name("LC_ADDRESS"), expected) << expected;
        EXPECT_EQ(EnvironmentLocale::name("LC_IDENTIFICATION"), all && *all ? all : lang ? lang : "C");
    }
}

TEST(RegionProviderTest, ReadingOfTheLocalesTimeZoneAndKeyboard)
{
    const ScopedEnv path("LOCPATH", testLocales()), all("LC_ALL", std::nullopt), tz("TZ", "America/New_York");
    const ScopedEnv address("LC_ADDRESS", std::nullopt), identification("LC_IDENTIFICATION", std::nullopt);
    const std::string processLocale = std::setlocale(LC_ALL, nullptr);
    const std::tuple<std::optional<std::string>, const char*, const char*> locales[] = {
        {"en_US.UTF-8", "en-US", "American English (United States)"}, {"de_DE.UTF-8", "de-DE", "German (Germany)"},
        {"C", "", ""}, {std::nullopt, "", ""}, {"xx_YY.UTF-8", "", ""}, {"../../etc/passwd", "", ""}};
    const LogWatch log;
    for (const auto& [lang, locale, language] : locales) {
        const ScopedEnv variable("LANG", lang);
        EXPECT_EQ(read(1, 0x01 | 0x02 | 0x04), (PropertyMap{{"DEVICE_REGION_LANGUAGE", language},
                                                            {"DEVICE_REGION_LOCALE", locale},
                                                            {"DEVICE_REGION_TIMEZONE_OFFSET", "-300"}}))
            << lang.value_or("(no LANG)");
    }
    EXPECT_EQ(std::setlocale(LC_ALL, nullptr), processLocale);  // never switched
    const ScopedEnv lang("LANG", "xx_YY.UTF-8");  // a warning once per name, not at every reading
    EXPECT_EQ(read(1, 0x04), (PropertyMap{{"DEVICE_REGION_LOCALE", ""}}));
    EXPECT_EQ(log.count("WARNING - Failed to load locale [xx_YY.UTF-8] for [LC_ADDRESS]"), 1U) << log.text();
    // Each value follows its own category's variable.
    const ScopedEnv german("LANG", "de_DE.UTF-8"), british("LC_ADDRESS", "en_US.UTF-8");
    EXPECT_EQ(read(1, 0x02 | 0x04),
              (PropertyMap{{"DEVICE_REGION_LANGUAGE", "German (Germany)"}, {"DEVICE_REGION_LOCALE", "en-US"}}));

    // The keyboard: its active group's layout, Unavailable without a display.
    const PropertyMap unavailable{{"DEVICE_REGION_KEYBOARD_LANGUAGE", "Unavailable"},
                                  {"DEVICE_REGION_KEYBOARD_LOCALE", "Unavailable"}};
    const std::tuple<std::optional<std::string>, const char*> failures[] = {
        {std::nullopt, "WARNING - No X display to read the keyboard from: DISPLAY is not set"},
        {":4711", "WARNING - Cannot connect to the X display [:4711]"}};
    for (const auto& [name, warning] : failures) {
        const ScopedEnv display("DISPLAY", name);
        const LogWatch failed;
        EXPECT_EQ(read(1, 0x08 | 0x10), unavailable);
        EXPECT_TRUE(failed.contains("ERROR - Failed to open display error [2]")) << failed.text();
        EXPECT_TRUE(failed.contains(warning)) << failed.text();
        EXPECT_EQ(read(1, 0x01).size(), 1U);  // no keyboard key: no display opened
        EXPECT_EQ(failed.count("Failed to open display"), 1U) << failed.text();
    }
    const TestSupport::XServer server;
    server.run("setxkbmap -layout us,de");
    const ScopedEnv display("DISPLAY", server.display());
    EXPECT_EQ(read(1, 0x08 | 0x10), (PropertyMap{{"DEVICE_REGION_KEYBOARD_LANGUAGE", "English (United States)"},
                                                 {"DEVICE_REGION_KEYBOARD_LOCALE", "en-US"}}));
    Display* x = XOpenDisplay(nullptr);
    ASSERT_NE(x, nullptr);
    XkbStateRec state{};  // the state comes back once the lock is in place
    ASSERT_TRUE(XkbLockGroup(x, XkbUseCoreKbd, 1) && XkbGetState(x, XkbUseCoreKbd, &state) == Success);
    XCloseDisplay(x);
    EXPECT_EQ(read(1, 0x08 | 0x10),
              (PropertyMap{{"DEVICE_REGION_KEYBOARD_LANGUAGE", "German"}, {"DEVICE_REGION_KEYBOARD_LOCALE", "de-DE"}}));
    EXPECT_EQ(read(1, 0x10), (PropertyMap{{"DEVICE_REGION_KEYBOARD_LOCALE", "de-DE"}}));
    EXPECT_EQ(read(0), PropertyMap{});
}
