// SPDX-License-Identifier: Apache-2.0
#include "base/WatchThread.h"

#include "base/Descriptor.h"
#include "base/Logging.h"
#include "base/SignalStack.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <exception>
#include <future>
#include <iostream>
#include <sstream>
#include <system_error>

namespace Base {

namespace {

// A stop request is also looked for this often: without a wake descriptor,
// or should writing to it fail, stop() still ends the thread.
constexpr int kStopCheckMilliseconds = 1000;

}  // namespace

// Shared with the thread, which may outlive its owner once stop() was called
// on the thread itself.
struct WatchThread::State {
    Watch watch;
    Descriptor wake;
    std::atomic<bool> stopping{false};
    bool woken = false;      // only ever touched by the owner
    bool abandoned = false;  // only ever touched on the thread
    // Set once the thread calls and touches nothing of the owner's any more.
    std::promise<void> released;
};

bool WatchThread::start(Watch watch)
{
    auto state = std::make_shared<State>();
    state->watch = std::move(watch);
    state->wake.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!state->wake && !(state->watch.wakeFailed && state->watch.wakeFailed(errno))) {
        return false;
    }
    // Set before the thread runs: pollMore() reads it there.
    _state = state;
    _released = state->released.get_future();
    try {
        _thread = std::thread(&WatchThread::run, std::move(state));
    } catch (const std::system_error& error) {
        if (_state->watch.startFailed) {
            _state->watch.startFailed(error.what());
        }
        _state.reset();
        _released = {};
        return false;
    }
    return true;
}

// The thread holds a reference of its own: its owner may drop the other one
// while the thread still runs.
void WatchThread::run(std::shared_ptr<State> state)
{
    const SignalStack stack;
    watch(*state);
    // Nothing of the owner's is touched from here on: stop() returns.
    state->released.set_value();
}

void WatchThread::watch(State& state)
{
    Watch& watch = state.watch;
    try {
        std::vector<pollfd> descriptors;
        if (watch.open && !watch.open(descriptors)) {
            return;
        }
        const std::size_t owned = descriptors.size();
        bool watching = owned > 0;
        if (state.wake) {
            descriptors.push_back(pollfd{state.wake.get(), POLLIN, 0});
        }
        auto idled = std::chrono::steady_clock::now();
        while (watching && !state.stopping) {
            const int reported = poll(descriptors.data(), descriptors.size(), kStopCheckMilliseconds);
            if (reported < 0) {
                if (errno == EINTR) {
                    continue;
                }
                if (watch.pollFailed) {
                    watch.pollFailed(errno);
                }
                break;
            }
            if (state.stopping || (state.wake && descriptors.back().revents != 0)) {
                break;
            }
            if (reported > 0) {
                watching = watch.ready(std::span<pollfd>(descriptors.data(), owned));
                if (state.abandoned) {
                    return;
                }
                for (pollfd& descriptor : descriptors) {
                    descriptor.revents = 0;
                }
            }
            const auto now = std::chrono::steady_clock::now();
            if (watching && watch.idle && now - idled >= std::chrono::milliseconds(kStopCheckMilliseconds)) {
                idled = now;
                watching = watch.idle(std::span<pollfd>(descriptors.data(), owned));
                if (state.abandoned) {
                    return;
                }
            }
        }
        if (watch.closed) {
            watch.closed(state.stopping);
        }
    } catch (const std::exception& error) {
        try {
            if (!state.abandoned && watch.aborted) {
                watch.aborted(error.what());
            }
        } catch (...) {
        }
    } catch (...) {
        try {
            if (!state.abandoned && watch.aborted) {
                watch.aborted("unknown");
            }
        } catch (...) {
        }
    }
}

void WatchThread::requestStop()
{
    TRACE_FUNCTION("close");  // the owner's
    if (!_thread.joinable() || _state->woken) {
        return;
    }
    _state->woken = true;
    _state->stopping = true;
    std::ostringstream id;
    id << _thread.get_id();
    const uint64_t one = 1;
    if (_state->wake && write(_state->wake.get(), &one, sizeof(one)) == static_cast<ssize_t>(sizeof(one))) {
        TRACE_VERBOSE << "Successfully sent close signal to " << _names.thread << " [" << id.str() << "]"
                      << std::endl;
    } else {
        TRACE_ERROR << "Failed to sent close signal to " << _names.thread << " [" << id.str() << "] result ["
                    << (_state->wake ? errno : EBADF) << "]" << std::endl;
    }
}

bool WatchThread::stop()
{
    TRACE_FUNCTION("close");  // the owner's
    if (!_thread.joinable()) {
        return true;
    }
    requestStop();
    if (_thread.get_id() == std::this_thread::get_id()) {
        // Called from a handler, on the thread itself.
        TRACE_ERROR << "Exception thrown joining " << _names.joining << " ["
                    << std::make_error_code(std::errc::resource_deadlock_would_occur).message() << "]" << std::endl;
        _state->abandoned = true;
        _thread.detach();
        _state.reset();
        _released = {};
        return false;
    }
    // The thread ends on its own once it has released the owner. The wake
    // descriptor is closed here: the thread no longer looks at it.
    _released.wait();
    _state->wake.reset();
    _thread.detach();
    _state.reset();
    _released = {};
    return true;
}

bool WatchThread::stopRequested() const
{
    return !_state || _state->stopping;
}

bool WatchThread::pollMore(std::span<pollfd> descriptors, int milliseconds)
{
    const std::shared_ptr<State> state = _state;
    if (!state || state->stopping) {
        return false;
    }
    std::vector<pollfd> polled(descriptors.begin(), descriptors.end());
    if (state->wake) {
        polled.push_back(pollfd{state->wake.get(), POLLIN, 0});
    }
    const int reported = poll(polled.data(), polled.size(), milliseconds);
    if (reported <= 0 || state->stopping || (state->wake && polled.back().revents != 0)) {
        return false;
    }
    std::copy_n(polled.begin(), descriptors.size(), descriptors.begin());
    return true;
}

}  // namespace Base
