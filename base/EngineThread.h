// SPDX-License-Identifier: Apache-2.0
// The library's own thread, on which all of its property work runs: every
// reading, the work that follows a host's Initialise message, every timer,
// every check a provider's notification asks for and every provider watch.
// The thread iterates a GMainContext of its own and has made it its
// thread-default context, so GLib clients created on it (libnm's NMClient,
// UPower's UpClient) deliver their signals there too. No thread of the
// hosting client ever runs a reading, and periodic checks run whether or not
// the client iterates a GLib main loop of its own.
//
// The thread starts on first use and runs until the process exits. At exit it
// finishes the work in hand (for a short while at most) and runs nothing more.
//
//     Base::EngineThread::post([connection] { connection->Initialise(); });
//     timer.create(interval, handler, Base::EngineThread::context());
#pragma once

#include <glib.h>

#include <functional>

namespace Base {

class EngineThread {
public:
    // The thread starts with the first context() or post(): the first
    // Initialise, not the channel's opening. Either throws std::system_error
    // when no thread can be started, std::runtime_error when GLib cannot be
    // loaded (a later call tries again).

    // The thread's main context, for sources of its own (timers).
    static GMainContext* context();

    // Queues `work` to run on the thread, after everything queued before it;
    // never runs it on the calling thread, even when that is the engine
    // thread. An exception from `work` is logged and goes no further.
    static void post(std::function<void()> work);

    // Whether the thread was started.
    static bool running();

    // True on the engine thread, while it runs its work.
    static bool isCurrent();

    EngineThread() = delete;
};

}  // namespace Base
