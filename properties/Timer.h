// SPDX-License-Identifier: Apache-2.0
// A periodic GLib timeout source on a given main context.
//
// The source keeps the timer's state alive until GLib has finished with it,
// so the timer may be destroyed on another thread while it is firing.
#pragma once

#include <glib.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>

class Timer {
public:
    Timer();
    ~Timer();

    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    // (Re)arms the timer: `handler` runs every `interval` on `context`.
    void create(const std::chrono::milliseconds& interval, const std::function<void()>& handler,
                GMainContext* context);
    void destroy();
    bool isActive() const;
    guint id() const;

    static gboolean timeout(gpointer data);

private:
    struct State {
        std::mutex mutex;
        GSource* source = nullptr;
        guint id = 0;
        std::chrono::milliseconds interval{0};
        std::function<void()> handler;
    };
    static void destroyLocked(State& state);

    std::shared_ptr<State> _state;
};
