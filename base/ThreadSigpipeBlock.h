// SPDX-License-Identifier: Apache-2.0
// Keeps SIGPIPE from ending the hosting process while the calling thread
// writes to a socket of a library that uses plain writes (xcb's connection
// to the X server): for the life of the object SIGPIPE is blocked on this
// thread only, so such a write fails with EPIPE instead. A SIGPIPE that the
// thread raised meanwhile is taken before the thread's mask is restored.
// Process-wide signal dispositions stay untouched.
//
//     Base::ThreadSigpipeBlock noSigpipe;
//     ... talk to the X server ...
#pragma once

#include <signal.h>

namespace Base {

class ThreadSigpipeBlock {
public:
    ThreadSigpipeBlock();
    ~ThreadSigpipeBlock();

    ThreadSigpipeBlock(const ThreadSigpipeBlock&) = delete;
    ThreadSigpipeBlock& operator=(const ThreadSigpipeBlock&) = delete;

private:
    sigset_t _previous{};
    bool _blocked = false;  // SIGPIPE was not blocked before and is now
};

}  // namespace Base
