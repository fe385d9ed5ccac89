// SPDX-License-Identifier: Apache-2.0
#include "base/ThreadSigpipeBlock.h"

#include <pthread.h>

#include <cerrno>
#include <ctime>

namespace Base {

namespace {

sigset_t sigpipeOnly()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    return set;
}

}  // namespace

ThreadSigpipeBlock::ThreadSigpipeBlock()
{
    const sigset_t pipe = sigpipeOnly();
    _blocked = pthread_sigmask(SIG_BLOCK, &pipe, &_previous) == 0 && sigismember(&_previous, SIGPIPE) == 0;
}

ThreadSigpipeBlock::~ThreadSigpipeBlock()
{
    if (!_blocked) {
        return;
    }
    const sigset_t pipe = sigpipeOnly();
    sigset_t pending;
    sigemptyset(&pending);
    if (sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
        const timespec now{};
        while (sigtimedwait(&pipe, nullptr, &now) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &_previous, nullptr);
}

}  // namespace Base
