#include "base/ThreadSigpipeBlock.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

namespace {

std::atomic<int> sigpipes{0};

void countSigpipe(int)
{
    sigpipes.fetch_add(1);
}

// A write to a pipe whose reading end is closed, as to a vanished X server.
int writeToBrokenPipe()
{
    int ends[2];
    if (pipe(ends) != 0) {
        return -1;
    }
    close(ends[0]);
    const char byte = 'x';
    const ssize_t written = write(ends[1], &byte, 1);
    const int error = written < 0 ? errno : 0;
    close(ends[1]);
    return error;
}

}  // namespace

TEST(ThreadSigpipeBlockTest, BrokenPipeFailsTheWriteWithoutSignalAndMaskIsRestored)
{
    // The test counts SIGPIPE instead of dying of it.
    struct sigaction counting {};
    counting.sa_handler = countSigpipe;
    sigemptyset(&counting.sa_mask);
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGPIPE, &counting, &previous), 0);

    int error = 0;
    bool blockedAfter = true;
    std::thread([&] {
        {
            const Base::ThreadSigpipeBlock noSigpipe;
            error = writeToBrokenPipe();
        }
        sigset_t mask;
        pthread_sigmask(SIG_SETMASK, nullptr, &mask);
        blockedAfter = sigismember(&mask, SIGPIPE) == 1;
    }).join();
    EXPECT_EQ(error, EPIPE);
    EXPECT_FALSE(blockedAfter);
    EXPECT_EQ(sigpipes.load(), 0);

    // Without the block the same write raises the signal: the check above
    // would notice a block that does nothing.
    std::thread([&] { error = writeToBrokenPipe(); }).join();
    EXPECT_EQ(error, EPIPE);
    EXPECT_EQ(sigpipes.load(), 1);

    // A thread that had SIGPIPE blocked already keeps it blocked.
    std::thread([&] {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        { const Base::ThreadSigpipeBlock noSigpipe; }
        sigset_t mask;
        pthread_sigmask(SIG_SETMASK, nullptr, &mask);
        blockedAfter = sigismember(&mask, SIGPIPE) == 1;
    }).join();
    EXPECT_TRUE(blockedAfter);

    sigaction(SIGPIPE, &previous, nullptr);
}
