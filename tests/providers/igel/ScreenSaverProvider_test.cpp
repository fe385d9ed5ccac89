#include "providers/igel/ScreenSaverProvider.h"

#include "support/Categories.h"
#include "support/LogWatch.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

using TestSupport::readProvider;
using TestSupport::ScopedEnv;
using TestSupport::TempDir;

namespace {

// IGEL's `get` in front of PATH: it records its arguments and prints the
// answer file named after its argument, nothing when there is none.
class FakeGet {
public:
    FakeGet() : _path("PATH", TestSupport::pathWith(_dir.path()))
    {
        _dir.script("get", "echo \"$@\" >> '" + _dir.file("runs") + "'\n"
                           "answer='" + _dir.path() + "'/\"$1\"\n"
                           "if [ -f \"$answer\" ]; then cat \"$answer\"; fi");
    }
    void answer(const std::string& option, const std::string& text) const
    {
        _dir.write("sessions.xlock0.options." + option, text);
    }
    std::string runs() const { return TestSupport::readWhole(_dir.file("runs")); }

private:
    TempDir _dir;
    ScopedEnv _path;
};

const char* kConversionError = "ERROR - Failed to convert screen-saver timeout [";

}  // namespace

TEST(ScreenSaverProvider, ReportsTheLockSettings)
{
    FakeGet get;
    get.answer("autolock", "True\n");
    get.answer("usepassword", "user\n");
    get.answer("timeout", "5\n");
    get.answer("custom_logo", "  /wfs/logo.png \n");
    const TestSupport::LogWatch log;
    const PropertyMap expected{{"DEVICE_SCREENSAVER_ENABLED", "true"},
                               {"DEVICE_SCREENSAVER_SECURE", "true"},
                               {"DEVICE_SCREENSAVER_TIMEOUT", "300"},
                               {"DEVICE_SCREENSAVER_FILENAME", "/wfs/logo.png"}};
    EXPECT_EQ(readProvider<ScreenSaverProvider>("ScreenSaver"), expected);
    EXPECT_TRUE(log.contains("VERBOSE - Getting SCREENSAVER properties..."));
    EXPECT_TRUE(log.contains("VERBOSE - Done getting SCREENSAVER properties."));
    EXPECT_FALSE(log.contains("ERROR"));
}

TEST(ScreenSaverProvider, LockAndPasswordWords)
{
    FakeGet get;
    struct Case {
        const char* option;
        const char* answer;
        uint32_t bit;
        const char* value;
    };
    const Case cases[] = {
        {"autolock", "", 0x01, "false"},       {"autolock", "false", 0x01, "false"},
        {"autolock", "TRUE", 0x01, "true"},    {"usepassword", "", 0x02, "false"},
        {"usepassword", "none", 0x02, "false"}, {"usepassword", "user", 0x02, "true"},
        {"usepassword", "XLOCK", 0x02, "true"}, {"usepassword", "admin", 0x02, "false"},
    };
    for (const Case& test : cases) {
        get.answer(test.option, test.answer);
        const PropertyMap one = readProvider<ScreenSaverProvider>("ScreenSaver", 1, test.bit);
        ASSERT_EQ(one.size(), 1U);
        EXPECT_EQ(one.begin()->second, test.value) << test.option << " [" << test.answer << "]";
    }
}

TEST(ScreenSaverProvider, TimeoutInSeconds)
{
    struct Case {
        const char* minutes;
        const char* seconds;
    };
    const Case converted[] = {
        {"5", "300"},   {"0", "0"},       {" \t7", "420"},  {"+2", "120"},
        {"-0", "0"},    {"10 min", "600"}, {"2147483647", "128849018820"},
    };
    for (const Case& test : converted) {
        EXPECT_EQ(ScreenSaverProvider::timeoutSeconds(test.minutes), test.seconds) << test.minutes;
    }
    // Anything else is logged and reported as it is.
    for (const char* text : {"", "soon", "min 5", "2147483648", "-2147483649", "99999999999999999999"}) {
        const TestSupport::LogWatch log;
        EXPECT_EQ(ScreenSaverProvider::timeoutSeconds(text), text);
        EXPECT_TRUE(log.contains(kConversionError + std::string(text) + "] to integer")) << text;
    }
    const TestSupport::LogWatch log;
    EXPECT_EQ(ScreenSaverProvider::timeoutSeconds("-5"), "-5");
    EXPECT_TRUE(log.contains("ERROR - Screen-saver timeout [-5] is negative"));

    FakeGet get;
    get.answer("timeout", "soon\n");
    EXPECT_EQ(readProvider<ScreenSaverProvider>("ScreenSaver", 1, 0x04).at("DEVICE_SCREENSAVER_TIMEOUT"), "soon");
    EXPECT_TRUE(log.contains(kConversionError + std::string("soon] to integer")));
}

// A `get` that is missing or fails leaves every setting at its default.
TEST(ScreenSaverProvider, WithoutAWorkingGetEverySettingHasItsDefault)
{
    TempDir missing;
    TempDir failing;
    failing.script("get", "echo 'no such key' >&2; echo partial; exit 1");
    const PropertyMap expected{{"DEVICE_SCREENSAVER_ENABLED", "false"},
                               {"DEVICE_SCREENSAVER_SECURE", "false"},
                               {"DEVICE_SCREENSAVER_TIMEOUT", "0"},
                               {"DEVICE_SCREENSAVER_FILENAME", ""}};
    for (const TempDir* tools : {&missing, &failing}) {
        ScopedEnv path("PATH", tools->path());
        EXPECT_EQ(readProvider<ScreenSaverProvider>("ScreenSaver"), expected) << tools->path();
    }
}

TEST(ScreenSaverProvider, CommandsRunOnlyForSelectedKeys)
{
    FakeGet get;
    EXPECT_TRUE(readProvider<ScreenSaverProvider>("ScreenSaver", 0, 0xFF).empty());
    EXPECT_TRUE(readProvider<ScreenSaverProvider>("ScreenSaver", 1, 0x10 | 0x20).empty());
    EXPECT_EQ(get.runs(), "");

    EXPECT_EQ(readProvider<ScreenSaverProvider>("ScreenSaver", 1, 0x04).size(), 1U);
    EXPECT_EQ(get.runs(), "sessions.xlock0.options.timeout\n");

    EXPECT_EQ(readProvider<ScreenSaverProvider>("ScreenSaver", 1, 0x02 | 0x08).size(), 2U);
    EXPECT_EQ(get.runs(), "sessions.xlock0.options.timeout\n"
                          "sessions.xlock0.options.usepassword\n"
                          "sessions.xlock0.options.custom_logo\n");

    EXPECT_EQ(readProvider<ScreenSaverProvider>("ScreenSaver", 1, 0x01).size(), 1U);
    EXPECT_EQ(get.runs(), "sessions.xlock0.options.timeout\n"
                          "sessions.xlock0.options.usepassword\n"
                          "sessions.xlock0.options.custom_logo\n"
                          "sessions.xlock0.options.autolock\n");
}
