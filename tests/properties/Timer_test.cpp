// SPDX-License-Identifier: Apache-2.0
#include "properties/Timer.h"

#include "support/LogWatch.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

// On a context of the test's own, freed at the end: a source a timer kept would show as a leak.
TEST(Timer, FiresUntilReplacedOrAbortedAndLeavesNoSource)
{
    GMainContext* context = g_main_context_new();
    const TestSupport::LogWatch log;
    const auto iterateUntil = [&](const std::function<bool()>& done) {
        while (!done()) g_main_context_iteration(context, TRUE);
    };
    int first = 0, second = 0;
    {
        Timer timer, throwing, empty;
        // A handler that re-creates its own timer ends the source that called it.
        timer.create(2ms, [&] { if (++first == 3) timer.create(2ms, [&] { ++second; }, context); }, context);
        iterateUntil([&] { return second >= 3; });
        EXPECT_TRUE(first == 3 && timer.isActive());
        EXPECT_TRUE(log.contains("WARNING - Not restarting timer [")) << log.text();
        timer.destroy();
        EXPECT_FALSE(timer.isActive());
        throwing.create(2ms, [&] { throw ++first; }, context);
        empty.create(2ms, std::function<void()>(), context);
        iterateUntil([&] { return log.contains("Unknown exception calling") && log.contains("[bad_function_call]"); });
        EXPECT_EQ(first, 4);
    }
    g_main_context_unref(context);
}
