#include "base/CustomCurlOpt.h"

#include "support/LogWatch.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using TestSupport::LogWatch;
using TestSupport::ScopedEnv;

constexpr const char* kName = "CORVANE_CURLOPT_TIMEOUT";

TEST(CustomCurlOpt, TakesADecimalNumberFromTheEnvironment)
{
    struct Case {
        std::string value;
        long expected;
    };
    const std::vector<Case> cases = {
        {"5000", 5000},
        {"0", 0},
        {"  250", 250},         // leading whitespace skipped
        {"1500ms", 1500},       // trailing text ignored
        {"+42", 42},
        {"2147483647", 2147483647},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("value [" + c.value + "]");
        ScopedEnv setting(kName, c.value);
        LogWatch log;
        EXPECT_EQ(CustomCurlOpt().getValueALong(kName, 30000), c.expected);
        EXPECT_TRUE(log.contains("getValueALong : VERBOSE - Setting [CORVANE_CURLOPT_TIMEOUT] [" + c.value +
                                 "] from environment.\n"));
        EXPECT_FALSE(log.contains("as default value"));
        EXPECT_FALSE(log.contains(": ERROR - "));
    }
}

TEST(CustomCurlOpt, UnsetOrEmptyGivesTheDefault)
{
    for (const std::optional<std::string>& value : {std::optional<std::string>(), std::optional<std::string>("")}) {
        ScopedEnv setting(kName, value);
        LogWatch log;
        EXPECT_EQ(CustomCurlOpt().getValueALong(kName, 30000), 30000);
        EXPECT_TRUE(log.contains("getValueALong : VERBOSE - Setting [CORVANE_CURLOPT_TIMEOUT] as default value [30000].\n"));
        EXPECT_FALSE(log.contains("from environment."));
        EXPECT_FALSE(log.contains(": ERROR - "));
    }
}

TEST(CustomCurlOpt, BadValuesGiveTheDefaultWithAnErrorLine)
{
    struct Case {
        std::string value;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"thirty", "Failed to parse value. CORVANE_CURLOPT_TIMEOUT: [thirty]"},
        {"  ", "Failed to parse value. CORVANE_CURLOPT_TIMEOUT: [  ]"},
        {"-", "Failed to parse value. CORVANE_CURLOPT_TIMEOUT: [-]"},
        {"99999999999", "Specified value is out of range. CORVANE_CURLOPT_TIMEOUT: [99999999999]"},
        {"2147483648", "Specified value is out of range. CORVANE_CURLOPT_TIMEOUT: [2147483648]"},
        // A negative time-out would reach libcurl as an enormous one.
        {"-5", "Specified value is out of range. CORVANE_CURLOPT_TIMEOUT: [-5]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("value [" + c.value + "]");
        ScopedEnv setting(kName, c.value);
        LogWatch log;
        EXPECT_EQ(CustomCurlOpt().getValueALong(kName, 30000), 30000);
        EXPECT_TRUE(log.contains("getValueALong : VERBOSE - Setting [CORVANE_CURLOPT_TIMEOUT] [" + c.value +
                                 "] from environment.\n"));
        EXPECT_TRUE(log.contains("getValueALong : ERROR - " + c.error + "\n")) << log.text();
        EXPECT_TRUE(log.contains("getValueALong : VERBOSE - Setting [CORVANE_CURLOPT_TIMEOUT] as default value [30000].\n"));
    }
}

}  // namespace
