#include "properties/Timer.h"

#include "support/LogWatch.h"
#include "support/MainLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

using namespace std::chrono_literals;
using TestSupport::iterateFor;
using TestSupport::iterateUntil;
using TestSupport::LogWatch;

TEST(Timer, FiresRepeatedlyUntilDestroyed)
{
    Timer timer;
    int fired = 0;
    timer.create(5ms, [&] { ++fired; }, g_main_context_default());
    EXPECT_TRUE(timer.isActive());
    ASSERT_TRUE(iterateUntil([&] { return fired >= 3; }));
    timer.destroy();
    EXPECT_FALSE(timer.isActive());
    const int atDestroy = fired;
    iterateFor(30ms);
    EXPECT_EQ(fired, atDestroy);
}

TEST(Timer, DestroyingAnInactiveTimerOnlyLogs)
{
    const LogWatch log;
    Timer timer;
    timer.destroy();
    EXPECT_TRUE(log.contains("VERBOSE - Ignoring call to destroy inactive timer"));
}

TEST(Timer, CreateReplacesTheActiveSource)
{
    Timer timer;
    int first = 0;
    int second = 0;
    timer.create(5ms, [&] { ++first; }, g_main_context_default());
    const guint firstId = timer.id();
    timer.create(5ms, [&] { ++second; }, g_main_context_default());
    EXPECT_NE(timer.id(), firstId);
    ASSERT_TRUE(iterateUntil([&] { return second >= 2; }));
    EXPECT_EQ(first, 0);
}

TEST(Timer, HandlerThatDestroysItsTimerEndsTheFiring)
{
    const LogWatch log;
    Timer timer;
    int fired = 0;
    timer.create(5ms, [&] { ++fired; timer.destroy(); }, g_main_context_default());
    ASSERT_TRUE(iterateUntil([&] { return fired == 1; }));
    iterateFor(30ms);
    EXPECT_EQ(fired, 1);
    EXPECT_TRUE(log.contains("WARNING - Not restarting timer ["));
}

TEST(Timer, FailingHandlersAbortTheTimerWithoutReachingGLib)
{
    const LogWatch log;
    Timer empty;
    empty.create(5ms, std::function<void()>(), g_main_context_default());
    Timer throwing;
    int fired = 0;
    throwing.create(5ms, [&] { ++fired; throw 42; }, g_main_context_default());
    iterateFor(50ms);
    EXPECT_EQ(fired, 1);
    EXPECT_TRUE(log.contains("] function error [bad_function_call]. Timer will abort."));
    EXPECT_TRUE(log.contains("Unknown exception calling timer ["));
    // The timers keep their sources until destroyed; destroying them is safe.
    empty.destroy();
    throwing.destroy();
}

TEST(Timer, DestroyFromAnotherThreadWhileFiring)
{
    std::atomic<int> fired{0};
    auto timer = std::make_unique<Timer>();
    timer->create(1ms, [&] { ++fired; std::this_thread::sleep_for(1ms); }, g_main_context_default());
    std::atomic<bool> done{false};
    std::thread killer([&] {
        while (fired < 3) {
            std::this_thread::yield();
        }
        timer.reset();  // destroys the source while the loop may be inside the handler
        done = true;
    });
    ASSERT_TRUE(iterateUntil([&] { return done.load(); }));
    killer.join();
    const int atDestroy = fired;
    iterateFor(20ms);
    EXPECT_LE(fired, atDestroy + 1);
}
