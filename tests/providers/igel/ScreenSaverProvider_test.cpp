// SPDX-License-Identifier: Apache-2.0
// ScreenSaverProvider with IGEL's `get` faked first on PATH.
#include "providers/igel/ScreenSaverProvider.h"

#include "support/Categories.h"
#include "support/IgelFakes.h"
#include "support/LogWatch.h"

#include <gtest/gtest.h>

using TestSupport::readProvider;

static PropertyMap settings(const char* enabled, const char* secure, const char* timeout, const char* file)
{
    return {{"DEVICE_SCREENSAVER_ENABLED", enabled}, {"DEVICE_SCREENSAVER_SECURE", secure},
            {"DEVICE_SCREENSAVER_TIMEOUT", timeout}, {"DEVICE_SCREENSAVER_FILENAME", file}};
}

TEST(ScreenSaverProvider, ReportsTheLockSettingsOfTheFirstXlockSession)
{
    const TestSupport::FakeIgelGet get;
    const char* const options[] = {"autolock", "usepassword", "timeout", "custom_logo"};
    const std::pair<std::array<const char*, 4>, PropertyMap> cases[] = {
        {{"True", "user", "5", "  /wfs/logo.png "}, settings("true", "true", "300", "/wfs/logo.png")},
        {{"false", "XLOCK", " \t7 min", ""}, settings("false", "true", "420", "")},
        {{"TRUE", "admin", "-1", ""}, settings("true", "false", "-1", "")},
        {{"", "none", "soon", ""}, settings("false", "false", "soon", "")}};
    for (const auto& [answers, expected] : cases) {
        for (int i = 0; i < 4; ++i) get.set(std::string("sessions.xlock0.options.") + options[i], answers[i]);
        EXPECT_EQ(readProvider<ScreenSaverProvider>("ScreenSaver"), expected) << answers[1];
    }
    // Only the selected settings are asked for.
    const std::size_t before = get.runs().size();
    EXPECT_TRUE(readProvider<ScreenSaverProvider>("ScreenSaver", 0, 0xFF).empty());
    EXPECT_EQ(readProvider<ScreenSaverProvider>("ScreenSaver", 1, 0x02 | 0x08).size(), 2U);
    EXPECT_EQ(get.runs().substr(before), "LC_ALL=C sessions.xlock0.options.usepassword\n"
                                         "LC_ALL=C sessions.xlock0.options.custom_logo\n");
    // A `get` that is missing or fails leaves every setting at its default.
    const TestSupport::TempDir missing, failing;
    failing.script("get", "echo 'no such key' >&2; echo partial; exit 1");
    for (const TestSupport::TempDir* tools : {&missing, &failing}) {
        const TestSupport::ScopedEnv path("PATH", tools->path());
        EXPECT_EQ(readProvider<ScreenSaverProvider>("ScreenSaver"), settings("false", "false", "0", ""));
    }
}

TEST(ScreenSaverProvider, TimeoutInSecondsOrAsItIsWithAnError)
{
    const TestSupport::LogWatch log;
    for (const auto& [minutes, seconds] : {std::pair{"+2", "120"}, {"-0", "0"}, {"2147483647", "128849018820"},
                                           {"", ""}, {"min 5", "min 5"}, {"2147483648", "2147483648"},
                                           {"-2147483649", "-2147483649"}, {"-1", "-1"}}) {
        EXPECT_EQ(ScreenSaverProvider::timeoutSeconds(minutes), seconds) << minutes;
    }
    EXPECT_EQ(log.count("ERROR - Failed to convert screen-saver timeout ["), 4U) << log.text();
    EXPECT_TRUE(log.contains("ERROR - Screen-saver timeout [-1] is negative\n"));
}
