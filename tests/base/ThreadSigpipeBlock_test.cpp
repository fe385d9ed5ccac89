// SPDX-License-Identifier: Apache-2.0
#include "base/ThreadSigpipeBlock.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <thread>

// A write to a pipe whose reading end is closed, as to a vanished X server, inside a block on a thread that had
// SIGPIPE blocked before or not: the write fails with EPIPE, no SIGPIPE comes, and the thread's mask is as before.
TEST(ThreadSigpipeBlock, BrokenPipeFailsTheWriteWithoutSignalAndTheMaskIsRestored)
{
    static std::atomic<int> sigpipes{0};
    struct sigaction counting {}, previous {};
    counting.sa_handler = [](int) { sigpipes.fetch_add(1); };
    sigaction(SIGPIPE, &counting, &previous);
    for (const bool blockedBefore : {false, true}) {
        std::thread([blockedBefore] {
            sigset_t mask;
            sigemptyset(&mask);
            sigaddset(&mask, SIGPIPE);
            pthread_sigmask(blockedBefore ? SIG_BLOCK : SIG_UNBLOCK, &mask, nullptr);
            int ends[2];
            ASSERT_EQ(pipe(ends), 0);
            close(ends[0]);
            {
                const Base::ThreadSigpipeBlock noSigpipe;
                EXPECT_EQ(write(ends[1], "x", 1) < 0 ? errno : 0, EPIPE);
            }
            close(ends[1]);
            pthread_sigmask(SIG_SETMASK, nullptr, &mask);
            EXPECT_EQ(sigismember(&mask, SIGPIPE), blockedBefore ? 1 : 0);
        }).join();
    }
    EXPECT_EQ(sigpipes, 0);
    sigaction(SIGPIPE, &previous, nullptr);
}
