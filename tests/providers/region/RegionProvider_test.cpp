// The region provider against the C library's time zones (tzdata) and
// locales (built by localedef for the tests), and a keyboard on a real X
// server (Xvfb). TZ and the locale variables are process-wide: these tests
// run in a process of their own, one test at a time.
#include "providers/region/RegionProvider.h"

#include "providers/region/EnvironmentLocale.h"

#include "support/Categories.h"
#include "support/KeyboardXServer.h"
#include "support/LogWatch.h"
#include "support/RegionTestLocales.h"
#include "support/TempDir.h"
#include "support/XProxy.h"

#include <X11/extensions/XKB.h>
#include <gtest/gtest.h>

#include <clocale>
#include <chrono>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using TestSupport::KeyboardXServer;
using TestSupport::LogWatch;
using TestSupport::ScopedEnv;
using TestSupport::XProxy;

// glibc's newlocale loses its copy of LOCPATH's directory list on every call
// while LOCPATH is set, as it is here for the tests' own locales. The library
// makes each locale object once, so that stays a few bytes per locale name.
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_suppressions()
{
    return "leak:__argz_add_sep\n";
}

namespace {

// 2026-01-15 12:00 and 2026-07-15 12:00 UTC.
constexpr std::time_t kJanuary = 1768478400;
constexpr std::time_t kJuly = 1784116800;

class RegionProviderTest : public ::testing::Test {
protected:
    static PropertyMap read(int32_t status = 2, int32_t filter = 0)
    {
        return TestSupport::readProvider<RegionProvider>("Region", status, filter);
    }

    // The environment's locale is LANG alone, with the tests' own locales.
    void useLocale(const std::optional<std::string>& lang)
    {
        _env.clear();
        _env.push_back(std::make_unique<ScopedEnv>("LOCPATH", TestSupport::RegionTestLocales::directory()));
        for (const char* variable : {"LC_ALL", "LC_ADDRESS", "LC_IDENTIFICATION"}) {
            _env.push_back(std::make_unique<ScopedEnv>(variable, std::nullopt));
        }
        _env.push_back(std::make_unique<ScopedEnv>("LANG", lang));
    }

private:
    std::vector<std::unique_ptr<ScopedEnv>> _env;
};

}  // namespace

TEST_F(RegionProviderTest, TimeZoneOffsetIsTheOffsetOfStandardTimeAllYear)
{
    struct Zone {
        const char* name;
        long standard;
    };
    const Zone zones[] = {
        {"Europe/Berlin", 60},
        {"America/New_York", -300},
        // Daylight saving here shifts the clock by 30 minutes, from +10:30.
        {"Australia/Lord_Howe", 630},
        // No daylight saving at all.
        {"Asia/Kolkata", 330},
        {"UTC", 0},
    };
    for (const Zone& zone : zones) {
        const ScopedEnv tz("TZ", zone.name);
        EXPECT_EQ(RegionProvider::standardOffsetMinutes(kJanuary), zone.standard) << zone.name << " in January";
        EXPECT_EQ(RegionProvider::standardOffsetMinutes(kJuly), zone.standard) << zone.name << " in July";
    }

    // Through the provider, for the moment of the reading.
    const ScopedEnv tz("TZ", "America/New_York");
    EXPECT_EQ(read(1, 0x01), (PropertyMap{{"DEVICE_REGION_TIMEZONE_OFFSET", "-300"}}));
}

TEST_F(RegionProviderTest, EnvironmentLocaleNameFollowsTheVariablesPrecedence)
{
    const ScopedEnv all("LC_ALL", std::nullopt);
    const ScopedEnv address("LC_ADDRESS", std::nullopt);
    const ScopedEnv lang("LANG", std::nullopt);
    EXPECT_EQ(EnvironmentLocale::name("LC_ADDRESS"), "C");
    {
        const ScopedEnv set("LANG", "de_DE.UTF-8");
        EXPECT_EQ(EnvironmentLocale::name("LC_ADDRESS"), "de_DE.UTF-8");
        const ScopedEnv category("LC_ADDRESS", "en_GB.UTF-8");
        EXPECT_EQ(EnvironmentLocale::name("LC_ADDRESS"), "en_GB.UTF-8");
        EXPECT_EQ(EnvironmentLocale::name("LC_IDENTIFICATION"), "de_DE.UTF-8");
        const ScopedEnv emptyAll("LC_ALL", "");
        EXPECT_EQ(EnvironmentLocale::name("LC_ADDRESS"), "en_GB.UTF-8");
        const ScopedEnv overAll("LC_ALL", "en_US.UTF-8");
        EXPECT_EQ(EnvironmentLocale::name("LC_ADDRESS"), "en_US.UTF-8");
    }
}

TEST_F(RegionProviderTest, LocaleAndLanguageOfTheEnvironment)
{
    struct Case {
        std::optional<std::string> lang;
        const char* locale;
        const char* language;
    };
    const Case cases[] = {
        // The language names are the C library's (glibc 2.36 names the
        // variety of English).
        {"en_US.UTF-8", "en-US", "American English (United States)"},
        {"en_GB.UTF-8", "en-GB", "British English (United Kingdom)"},
        {"de_DE.UTF-8", "de-DE", "German (Germany)"},
        // The C locale names neither a language nor a country.
        {"C", "", ""},
        {std::nullopt, "", ""},
    };
    const std::string processLocale = std::setlocale(LC_ALL, nullptr);
    for (const Case& each : cases) {
        useLocale(each.lang);
        EXPECT_EQ(read(1, 0x02 | 0x04), (PropertyMap{{"DEVICE_REGION_LANGUAGE", each.language},
                                                     {"DEVICE_REGION_LOCALE", each.locale}}))
            << each.lang.value_or("(no LANG)");
    }
    // The reading never switched the process locale.
    EXPECT_EQ(std::setlocale(LC_ALL, nullptr), processLocale);

    // Each value follows its own category's variable, as setlocale would.
    useLocale("de_DE.UTF-8");
    const ScopedEnv address("LC_ADDRESS", "en_GB.UTF-8");
    EXPECT_EQ(read(1, 0x02 | 0x04), (PropertyMap{{"DEVICE_REGION_LANGUAGE", "German (Germany)"},
                                                 {"DEVICE_REGION_LOCALE", "en-GB"}}));
}

TEST_F(RegionProviderTest, LocaleThatIsNotInstalledReadsAsTheCLocale)
{
    useLocale("xx_YY.UTF-8");
    const LogWatch log;
    EXPECT_EQ(read(1, 0x02 | 0x04), (PropertyMap{{"DEVICE_REGION_LANGUAGE", ""}, {"DEVICE_REGION_LOCALE", ""}}));
    EXPECT_TRUE(log.contains("WARNING - Failed to load locale [xx_YY.UTF-8] for [LC_ADDRESS]")) << log.text();
    // Once per name, not at every reading.
    EXPECT_EQ(read(1, 0x04), (PropertyMap{{"DEVICE_REGION_LOCALE", ""}}));
    EXPECT_EQ(log.count("Failed to load locale [xx_YY.UTF-8] for [LC_ADDRESS]"), 1u) << log.text();

    useLocale("../../etc/passwd");
    EXPECT_EQ(read(1, 0x04), (PropertyMap{{"DEVICE_REGION_LOCALE", ""}}));
}

TEST_F(RegionProviderTest, WithoutDisplayTheKeyboardIsUnavailable)
{
    useLocale("en_US.UTF-8");
    const ScopedEnv tz("TZ", "Europe/Berlin");
    {
        const ScopedEnv display("DISPLAY", std::nullopt);
        const LogWatch log;
        EXPECT_EQ(read(), (PropertyMap{{"DEVICE_REGION_KEYBOARD_LANGUAGE", "Unavailable"},
                                       {"DEVICE_REGION_KEYBOARD_LOCALE", "Unavailable"},
                                       {"DEVICE_REGION_LANGUAGE", "American English (United States)"},
                                       {"DEVICE_REGION_LOCALE", "en-US"},
                                       {"DEVICE_REGION_TIMEZONE_OFFSET", "60"}}));
        EXPECT_TRUE(log.contains("ERROR - Failed to open display error [2]")) << log.text();
        EXPECT_TRUE(log.contains("DISPLAY is not set")) << log.text();
        EXPECT_TRUE(log.contains("VERBOSE - Done getting REGION properties.")) << log.text();
    }
    {
        // A display that no server answers.
        const ScopedEnv display("DISPLAY", ":4711");
        const LogWatch log;
        const PropertyMap properties = read(1, 0x08 | 0x10);
        EXPECT_EQ(properties, (PropertyMap{{"DEVICE_REGION_KEYBOARD_LANGUAGE", "Unavailable"},
                                           {"DEVICE_REGION_KEYBOARD_LOCALE", "Unavailable"}}));
        EXPECT_TRUE(log.contains("Cannot connect to the X display [:4711]")) << log.text();
    }
    {
        // Without a keyboard key selected, no display is opened.
        const ScopedEnv display("DISPLAY", std::nullopt);
        const LogWatch log;
        EXPECT_EQ(read(1, 0x01), (PropertyMap{{"DEVICE_REGION_TIMEZONE_OFFSET", "60"}}));
        EXPECT_FALSE(log.contains("Failed to open display")) << log.text();
    }
    EXPECT_EQ(read(0), PropertyMap{});
}

TEST_F(RegionProviderTest, ActiveKeyboardGroupGivesTheKeyboardLanguageAndLocale)
{
    const KeyboardXServer server("us,de");
    const ScopedEnv display("DISPLAY", server.display());
    useLocale("de_DE.UTF-8");
    const ScopedEnv tz("TZ", "Australia/Lord_Howe");

    const auto started = std::chrono::steady_clock::now();
    const PropertyMap first = read();
    auto took = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started);
    std::cout << "First Region reading with the keyboard took " << took.count() << " us" << std::endl;
    EXPECT_EQ(first, (PropertyMap{{"DEVICE_REGION_KEYBOARD_LANGUAGE", "English (United States)"},
                                  {"DEVICE_REGION_KEYBOARD_LOCALE", "en-US"},
                                  {"DEVICE_REGION_LANGUAGE", "German (Germany)"},
                                  {"DEVICE_REGION_LOCALE", "de-DE"},
                                  {"DEVICE_REGION_TIMEZONE_OFFSET", "630"}}));

    server.lockGroup(1);
    const LogWatch log;
    const auto again = std::chrono::steady_clock::now();
    const PropertyMap second = read();
    took = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - again);
    std::cout << "Next Region reading with the keyboard took " << took.count() << " us" << std::endl;
    EXPECT_EQ(second.at("DEVICE_REGION_KEYBOARD_LOCALE"), "de-DE");
    EXPECT_EQ(read(1, 0x08 | 0x10), (PropertyMap{{"DEVICE_REGION_KEYBOARD_LANGUAGE", "German"},
                                                 {"DEVICE_REGION_KEYBOARD_LOCALE", "de-DE"}}));
    EXPECT_TRUE(log.contains("VERBOSE - Keyboard index is [1]")) << log.text();
    EXPECT_TRUE(log.contains("VERBOSE - Found keyboard name [German]")) << log.text();
    EXPECT_TRUE(log.contains("INFO - Found symbol [pc+us+de:2+inet(evdev)]")) << log.text();
    EXPECT_TRUE(log.contains("VERBOSE - Ignoring locale [us] index [0]")) << log.text();
    EXPECT_TRUE(log.contains("VERBOSE - Selecting locale [de:2]")) << log.text();

    // Only the selected keyboard key.
    EXPECT_EQ(read(1, 0x10), (PropertyMap{{"DEVICE_REGION_KEYBOARD_LOCALE", "de-DE"}}));
}

TEST_F(RegionProviderTest, LostServerDuringTheKeyboardReadingLeavesTheProcessRunning)
{
    const KeyboardXServer server("us,de");
    struct Cut {
        int request;     // XKB minor opcode
        int occurrence;  // from 1
        const char* language;
        const char* failure;
    };
    // The reading asks for the state, then the group names, then the symbols
    // name; the server goes away at one of them. What was read before stays.
    const Cut cuts[] = {
        {X_kbGetState, 1, "Unavailable", "ERROR - Failed to read keyboard state error ["},
        {X_kbGetNames, 1, "Unavailable", "ERROR - Failed to find keyboard group names error ["},
        {X_kbGetNames, 2, "English (United States)", "ERROR - Failed to find keyboard symbol names error ["},
    };
    for (const Cut& cut : cuts) {
        const std::string name = "request " + std::to_string(cut.request) + " #" + std::to_string(cut.occurrence);
        XProxy proxy(server.display(), cut.request, cut.occurrence);
        const ScopedEnv display("DISPLAY", proxy.display());
        const LogWatch log;
        EXPECT_EQ(read(1, 0x08 | 0x10), (PropertyMap{{"DEVICE_REGION_KEYBOARD_LANGUAGE", cut.language},
                                                     {"DEVICE_REGION_KEYBOARD_LOCALE", "Unavailable"}}))
            << name;
        EXPECT_TRUE(log.contains(cut.failure)) << name << "\n" << log.text();
        EXPECT_EQ(log.count("ERROR - Lost the connection to X display [" + proxy.display() + "]\n"), 1U)
            << name << "\n" << log.text();
        EXPECT_EQ(log.count("ERROR - Lost the connection to the X display while reading the keyboard\n"), 1U)
            << name << "\n" << log.text();
    }

    // The server itself went on: read straight from it, the keyboard is whole.
    const ScopedEnv display("DISPLAY", server.display());
    const LogWatch log;
    EXPECT_EQ(read(1, 0x08 | 0x10), (PropertyMap{{"DEVICE_REGION_KEYBOARD_LANGUAGE", "English (United States)"},
                                                 {"DEVICE_REGION_KEYBOARD_LOCALE", "en-US"}}));
    EXPECT_FALSE(log.contains("Lost the connection")) << log.text();
}

TEST_F(RegionProviderTest, LocaleTagAndLanguageName)
{
    EXPECT_EQ(RegionProvider::localeTag("en", "US"), "en-US");
    EXPECT_EQ(RegionProvider::localeTag("en", ""), "en");
    EXPECT_EQ(RegionProvider::localeTag("", "US"), "US");
    EXPECT_EQ(RegionProvider::localeTag("", ""), "");

    EXPECT_EQ(RegionProvider::languageName("English", "USA"), "English (United States)");
    EXPECT_EQ(RegionProvider::languageName("English", "Great Britain"), "English (United Kingdom)");
    EXPECT_EQ(RegionProvider::languageName("German", "Germany"), "German (Germany)");
    EXPECT_EQ(RegionProvider::languageName("Esperanto", ""), "Esperanto");
    EXPECT_EQ(RegionProvider::languageName("", "ISO"), "");
}
