// SPDX-License-Identifier: Apache-2.0
// A thread that watches descriptors: it sleeps in poll() on the descriptors
// its owner hands it and on an eventfd of its own, passes what poll reports
// to the owner's handler, and ends when the handler says so, when poll fails,
// or when stop() wakes it. It begins with a signal stack of its own, and
// nothing thrown on it leaves it.
//
//     Base::WatchThread _watch{{"Logical Disk monitor thread", "Logical Disk udev monitor thread"}};
//     _watch.start({.open = ..., .ready = ...});
//     ...
//     _watch.stop();  // wakes the thread and waits until it let go of its owner
#pragma once

#include "base/Descriptor.h"

#include <poll.h>

#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <span>
#include <thread>
#include <vector>

namespace Base {

class WatchThread {
public:
    // How the lines of stop() name the thread: "Successfully sent close
    // signal to <thread> [id]", "Exception thrown joining <joining> [error]".
    struct Names {
        const char* thread;
        const char* joining;
    };

    // What the owner does. All but `wakeFailed` and `startFailed` run on the
    // thread; every one but `ready` may be left empty.
    struct Watch {
        // The wake descriptor could not be created (errno `error`): true to
        // watch without it; a stop request is then seen within a second.
        std::function<bool(int error)> wakeFailed;
        // The thread could not be started; `what` is the system's text.
        std::function<void(const char* what)> startFailed;
        // Before the first poll: fills in the descriptors to watch. false ends
        // the watch at once, without `closed`; no descriptor ends it with it.
        std::function<bool(std::vector<pollfd>& descriptors)> open;
        // What poll reported, in each descriptor's revents (cleared after the
        // call). A descriptor set to -1 is no longer polled. false ends the
        // watch.
        std::function<bool(std::span<pollfd> descriptors)> ready;
        // Called about once a second whatever poll reports, for the owner's
        // own timing (such as trying again to reach a source that went away);
        // it may set descriptors, -1 included. false ends the watch.
        std::function<bool(std::span<pollfd> descriptors)> idle;
        // poll failed with `error`; the watch ends.
        std::function<void(int error)> pollFailed;
        // The watch has ended; `woken` when by stop().
        std::function<void(bool woken)> closed;
        // Something was thrown on the thread, with its text; the watch ends
        // without `closed`.
        std::function<void(const char* what)> aborted;
    };

    explicit WatchThread(Names names) : _names(names) {}
    ~WatchThread() { stop(); }
    WatchThread(const WatchThread&) = delete;
    WatchThread& operator=(const WatchThread&) = delete;

    // Creates the wake descriptor and starts the thread; false when it was
    // not started (reported to `watch.wakeFailed` or `watch.startFailed`).
    bool start(Watch watch);

    // Whether a thread was started and not yet stopped; it may have ended
    // its watch already.
    bool running() const { return _thread.joinable(); }

    // Wakes the thread and waits until it has released its owner: from then
    // on it calls and touches nothing of the owner's, and it ends on its own.
    // The wake descriptor is closed before stop() returns.
    // false when called on the thread itself (from a handler): then the
    // thread ends once the handler returns, calling nothing of the owner's
    // any more.
    bool stop();

    // The first half of stop(): wakes the thread without waiting for it, so
    // that several threads end side by side; stop() then waits for the release.
    void requestStop();

    // Whether requestStop() or stop() was called since start(); for the
    // handlers, which report nothing more once it holds.
    bool stopRequested() const;
    // Whether the caller is the thread itself (a handler).
    bool onThread() const { return _thread.get_id() == std::this_thread::get_id(); }

    // For `ready`, on the thread: waits up to `milliseconds` for more of what
    // `descriptors` watch, as poll() does, their revents set when true. false
    // when nothing came, poll failed or stop() was called meanwhile.
    bool pollMore(std::span<pollfd> descriptors, int milliseconds);

private:
    struct State;
    static void run(std::shared_ptr<State> state);
    static void watch(State& state);

    const Names _names;
    std::shared_ptr<State> _state;
    std::future<void> _released;
    std::thread _thread;
};

}  // namespace Base
