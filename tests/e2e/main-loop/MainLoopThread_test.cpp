// A hosting client that iterates no GLib main context, with the library's own
// main-loop thread switched on: the initial message and every later change
// arrive without the test ever iterating a context. Its own executable: the
// thread owns the default main context for the rest of the process.
#include "support/LoadedLibrary.h"
#include "support/LogWatch.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

using TestSupport::CapturingChannel;
using TestSupport::LogWatch;
using TestSupport::ScopedEnv;
using TestSupport::TempDir;

namespace {

std::string initialiseOS(int interval)
{
    return R"({"id":"Initialize","data":{"propertyCheckInterval":)" + std::to_string(interval) +
           R"(,"properties":[{"name":"OS","status":1,"filter":4}]}})";
}

}  // namespace

TEST(MainLoopThread, UnknownModeIsRefusedThenThreadRunsChecks)
{
    TempDir tools;
    tools.write("version", "1.0");
    tools.script("get", "cat '" + tools.file("version") + "'");
    ScopedEnv path("PATH", TestSupport::pathWith(tools.path()));

    {
        ScopedEnv mode("CORVANE_MAIN_LOOP", std::string("fork"));
        const LogWatch log;
        CapturingChannel ignored;
        ignored.connect();
        EXPECT_TRUE(log.contains("WARNING - Ignoring CORVANE_MAIN_LOOP [fork]; the only mode is [thread]"));
        ignored.disconnect();
    }

    ScopedEnv mode("CORVANE_MAIN_LOOP", std::string("thread"));
    const LogWatch log;
    CapturingChannel channel;
    channel.connect();
    EXPECT_TRUE(log.contains("Started a thread to iterate the default main context"));
    channel.send(initialiseOS(20));
    ASSERT_TRUE(channel.waitForCount(1));
    EXPECT_NE(channel.message(0).find(R"(["DEVICE_OS_VERSION","1.0"])"), std::string::npos) << channel.message(0);

    tools.write("version", "2.0");
    ASSERT_TRUE(channel.waitForCount(2));
    EXPECT_NE(channel.message(1).find(R"("id":"updateDeviceProperties")"), std::string::npos);
    EXPECT_NE(channel.message(1).find(R"(["DEVICE_OS_VERSION","2.0"])"), std::string::npos) << channel.message(1);

    // A second connection shares the one thread.
    CapturingChannel second;
    second.connect();
    second.send(initialiseOS(60000));
    ASSERT_TRUE(second.waitForCount(1));
    EXPECT_EQ(log.count("Started a thread to iterate the default main context"), 1U);

    second.disconnect();
    channel.disconnect();
    EXPECT_EQ(channel.writesAfterClose, 0);
}
