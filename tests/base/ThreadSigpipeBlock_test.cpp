// SPDX-License-Identifier: Apache-2.0
#include "base/ThreadSigpipeBlock.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <optional>
#include <thread>

// A write to a pipe whose reading end is closed, as to a vanished X server, on a thread with SIGPIPE blocked
// before or not, with the block or without; gives errno, whether SIGPIPE came and whether it is blocked after.
static std::tuple<int, int, bool> writeToBrokenPipe(bool block, bool blockedBefore = false)
{
    static std::atomic<int> sigpipes{0};
    struct sigaction counting {}, previous {};
    counting.sa_handler = [](int) { sigpipes.fetch_add(1); };
    sigaction(SIGPIPE, &counting, &previous);
    std::tuple<int, int, bool> result{0, sigpipes.load(), false};
    std::thread([&] {
        sigset_t mask;
        sigemptyset(&mask);
        sigaddset(&mask, SIGPIPE);
        pthread_sigmask(blockedBefore ? SIG_BLOCK : SIG_UNBLOCK, &mask, nullptr);
        int ends[2];
        std::get<0>(result) = pipe(ends) == 0 && close(ends[0]) == 0 ? 0 : -1;
        {
            std::optional<Base::ThreadSigpipeBlock> noSigpipe;
            if (block) {
                noSigpipe.emplace();
            }
            std::get<0>(result) += write(ends[1], "x", 1) < 0 ? errno : 0;
        }
        close(ends[1]);
        pthread_sigmask(SIG_SETMASK, nullptr, &mask);
        std::get<2>(result) = sigismember(&mask, SIGPIPE) == 1;
    }).join();
    std::get<1>(result) = sigpipes.load() - std::get<1>(result);
    sigaction(SIGPIPE, &previous, nullptr);
    return result;
}

TEST(ThreadSigpipeBlock, BrokenPipeFailsTheWriteWithoutSignalAndTheMaskIsRestored)
{
    EXPECT_EQ(writeToBrokenPipe(true), std::make_tuple(EPIPE, 0, false));
    EXPECT_EQ(writeToBrokenPipe(false), std::make_tuple(EPIPE, 1, false));  // a block that does nothing shows
    EXPECT_EQ(writeToBrokenPipe(true, true), std::make_tuple(EPIPE, 0, true));
}
