// SPDX-License-Identifier: Apache-2.0
#include "base/EngineThread.h"

#include "support/Engine.h"
#include "support/LogWatch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

// Work runs on the engine thread in the order it was posted, also when posted from several threads and from the
// engine thread itself; a failing piece of work is logged and the next one still runs.
TEST(EngineThread, RunsPostedWorkInOrderAndGoesOnAfterAFailure)
{
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    Base::EngineThread::post([released] { released.wait(); });  // everything below queues behind it
    std::vector<int> order;
    const TestSupport::LogWatch log;
    for (int i = 0; i < 5; ++i) {
        Base::EngineThread::post([&order, i] { order.push_back(i); });
    }
    Base::EngineThread::post([] { throw std::runtime_error("broken work"); });
    Base::EngineThread::post([&order] { Base::EngineThread::post([&order] { order.push_back(6); }), order.push_back(5); });
    std::atomic<int> others{0};  // two threads posting at once
    std::thread first([&others] { for (int i = 0; i < 50; ++i) Base::EngineThread::post([&others] { ++others; }); });
    std::thread second([&others] { for (int i = 0; i < 50; ++i) Base::EngineThread::post([&others] { ++others; }); });
    first.join(), second.join();
    release.set_value();
    TestSupport::drainEngine();
    TestSupport::drainEngine();  // and what the work posted meanwhile
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(others, 100);
    EXPECT_TRUE(log.contains("broken work")) << log.text();
    EXPECT_FALSE(Base::EngineThread::isCurrent());
    EXPECT_TRUE(TestSupport::onEngine([] { return Base::EngineThread::isCurrent(); }));
}
