// SPDX-License-Identifier: Apache-2.0
#include "base/EngineThread.h"

#include "base/Guard.h"
#include "base/LazyLibrary.h"
#include "base/Logging.h"
#include "base/SignalStack.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace Base {

namespace {

// How long the process's exit waits for the queued work to end.
constexpr std::chrono::seconds kExitWait{2};

struct Engine {
    Engine() : context(g_main_context_new()) {}
    ~Engine() { g_main_context_unref(context); }

    GMainContext* const context;
    std::atomic<bool> stopping{false};
    std::mutex mutex;
    std::deque<std::function<void()>> queue;  // under mutex: posted work, oldest first
    std::condition_variable ended;
    bool stopped = false;  // under mutex: the thread left its loop
    std::thread thread;
};

std::mutex gStartMutex;
// Never destroyed: the thread runs until the process exits.
std::atomic<Engine*> gEngine{nullptr};

void run(Engine* engine)
{
    const SignalStack stack;
    g_main_context_push_thread_default(engine->context);
    // Held for the thread's life: the thread is the context's owner.
    g_main_context_acquire(engine->context);
    while (!engine->stopping.load()) {
        g_main_context_iteration(engine->context, TRUE);
    }
    g_main_context_release(engine->context);
    g_main_context_pop_thread_default(engine->context);
    {
        const std::lock_guard<std::mutex> lock(engine->mutex);
        engine->stopped = true;
    }
    engine->ended.notify_all();
}

// Queues `callback` on the engine's context. Sources of one priority run in
// the order they were attached.
void attach(Engine& engine, GSourceFunc callback, gpointer data, GDestroyNotify release)
{
    GSource* source = g_idle_source_new();
    g_source_set_priority(source, G_PRIORITY_DEFAULT);
    g_source_set_callback(source, callback, data, release);
    g_source_attach(source, engine.context);
    g_source_unref(source);
}

gboolean stopEngine(gpointer data)
{
    static_cast<Engine*>(data)->stopping = true;
    return G_SOURCE_REMOVE;
}

// At process exit: the work queued so far runs (closing the providers of
// connections that have just closed), nothing further starts, and the rest of
// the process is torn down only after that, or after kExitWait when a reading
// does not end by then.
void stopAtExit()
{
    Engine* engine = gEngine.load();
    if (engine == nullptr || engine->thread.get_id() == std::this_thread::get_id()) {
        return;
    }
    attach(*engine, &stopEngine, engine, nullptr);
    std::unique_lock<std::mutex> lock(engine->mutex);
    if (engine->ended.wait_for(lock, kExitWait, [engine] { return engine->stopped; })) {
        lock.unlock();
        engine->thread.join();
    } else {
        // Nothing starts after the reading in hand.
        engine->stopping = true;
    }
}

Engine& engine()
{
    if (Engine* running = gEngine.load()) {
        return *running;
    }
    const std::lock_guard<std::mutex> lock(gStartMutex);
    if (Engine* running = gEngine.load()) {
        return *running;
    }
    // GLib runs the thread: loaded as it starts (with the first Initialise),
    // not when the hosting client loaded the library or opened a channel.
    if (const LazyLibrary& library = LazyLibrary::require(LazyLibrary::GLib); !library) {
        throw std::runtime_error(std::string("the engine needs [") + library.soname() +
                                 "], which cannot be loaded: " + library.error());
    }
    auto created = std::make_unique<Engine>();
    created->thread = std::thread(&run, created.get());
    Engine* started = created.release();
    gEngine = started;
    std::atexit(&stopAtExit);
    TRACE_FUNCTION("EngineThread");
    TRACE_INFO << "Started the engine thread" << std::endl;
    return *started;
}

// One source per posted piece of work; each runs the oldest piece. The work
// itself passes through the queue's lock, from the posting thread to this one.
gboolean runPosted(gpointer data)
{
    Engine& engine = *static_cast<Engine*>(data);
    std::function<void()> work;
    {
        const std::lock_guard<std::mutex> lock(engine.mutex);
        if (engine.queue.empty()) {
            return G_SOURCE_REMOVE;
        }
        work = std::move(engine.queue.front());
        engine.queue.pop_front();
    }
    if (!engine.stopping) {
        guarded("EngineThread", [&work] { work(); });
    }
    return G_SOURCE_REMOVE;
}

}  // namespace

bool EngineThread::running()
{
    return gEngine.load() != nullptr;
}

GMainContext* EngineThread::context()
{
    return engine().context;
}

void EngineThread::post(std::function<void()> work)
{
    Engine& running = engine();
    {
        const std::lock_guard<std::mutex> lock(running.mutex);
        running.queue.push_back(std::move(work));
    }
    attach(running, &runPosted, &running, nullptr);
}

bool EngineThread::isCurrent()
{
    Engine* engine = gEngine.load();
    return engine != nullptr && g_main_context_is_owner(engine->context);
}

}  // namespace Base
