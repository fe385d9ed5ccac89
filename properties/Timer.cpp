// SPDX-License-Identifier: Apache-2.0
#include "properties/Timer.h"

#include "base/Guard.h"
#include "base/Logging.h"
#include "base/SharedData.h"

#include <iostream>

Timer::Timer() : _state(std::make_shared<State>()) {}

Timer::~Timer()
{
    std::lock_guard<std::mutex> lock(_state->mutex);
    if (_state->source != nullptr) {
        destroyLocked(*_state);
    }
    _state->handler = nullptr;
}

void Timer::create(const std::chrono::milliseconds& interval, const std::function<void()>& handler,
                   GMainContext* context)
{
    std::lock_guard<std::mutex> lock(_state->mutex);
    if (_state->source != nullptr) {
        destroyLocked(*_state);
    }
    _state->handler = handler;
    _state->interval = interval;
    _state->source = g_timeout_source_new(static_cast<guint>(interval.count()));
    g_source_set_callback(_state->source, &Timer::timeout, Base::sharedData(_state),
                          &Base::releaseSharedData<State>);
    _state->id = g_source_attach(_state->source, context);
    TRACE_VERBOSE << "Successfully created timer [" << _state->id << "] every [" << interval.count() << "] ms"
                << std::endl;
}

void Timer::destroy()
{
    std::lock_guard<std::mutex> lock(_state->mutex);
    if (_state->source == nullptr) {
        TRACE_VERBOSE << "Ignoring call to destroy inactive timer" << std::endl;
        return;
    }
    destroyLocked(*_state);
}

void Timer::destroyLocked(State& state)
{
    TRACE_VERBOSE << "Destroying timer [" << state.id << "]" << std::endl;
    g_source_destroy(state.source);
    g_source_unref(state.source);
    state.source = nullptr;
    state.id = 0;
}

bool Timer::isActive() const
{
    std::lock_guard<std::mutex> lock(_state->mutex);
    return _state->source != nullptr;
}

guint Timer::id() const
{
    std::lock_guard<std::mutex> lock(_state->mutex);
    return _state->id;
}

gboolean Timer::timeout(gpointer data)
{
    return Base::guarded(__func__, gboolean{G_SOURCE_REMOVE}, [&]() -> gboolean {
        TRACE_FUNCTION("timeout");
        State& state = Base::fromSharedData<State>(data);
        GSource* firing = g_main_current_source();
        guint id = 0;
        std::function<void()> handler;
        {
            std::lock_guard<std::mutex> lock(state.mutex);
            id = state.id;
            handler = state.handler;
        }
        TRACE_VERBOSE << "Timer [" << id << "] timed out" << std::endl;
        try {
            handler();
        } catch (const std::bad_function_call& error) {
            TRACE_ERROR << "Failed to execute timer [" << id << "] function error [" << error.what()
                      << "]. Timer will abort." << std::endl;
            return G_SOURCE_REMOVE;
        } catch (...) {
            TRACE_ERROR << "Unknown exception calling timer [" << id << "] function. Timer will abort." << std::endl;
            return G_SOURCE_REMOVE;
        }
        {
            std::lock_guard<std::mutex> lock(state.mutex);
            if (state.source == nullptr || state.source != firing) {
                TRACE_WARNING << "Not restarting timer [" << id << "] since destroyed whilst processing handler"
                            << std::endl;
                return G_SOURCE_REMOVE;
            }
        }
        TRACE_VERBOSE << "Done handling timer [" << id << "]" << std::endl;
        return G_SOURCE_CONTINUE;
    });
}
