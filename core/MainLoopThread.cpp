#include "core/MainLoopThread.h"

#include "base/Logging.h"
#include "base/Utilities.h"

#include <iostream>
#include <memory>
#include <mutex>

namespace {

std::mutex gMutex;
// Destroyed at process exit (the library is never unloaded before that),
// which stops and joins the thread.
std::unique_ptr<MainLoopThread> gThread;

}  // namespace

void MainLoopThread::startIfConfigured()
{
    const std::string mode = Utilities::getEnvironmentVariable("CORVANE_MAIN_LOOP", "");
    if (mode.empty()) {
        return;
    }
    if (mode != "thread") {
        TRACE_WARNING << "Ignoring CORVANE_MAIN_LOOP [" << mode << "]; the only mode is [thread]" << std::endl;
        return;
    }
    std::lock_guard<std::mutex> lock(gMutex);
    if (!gThread) {
        gThread.reset(new MainLoopThread());
    }
}

bool MainLoopThread::isRunning()
{
    std::lock_guard<std::mutex> lock(gMutex);
    return static_cast<bool>(gThread);
}

MainLoopThread::MainLoopThread() : _loop(g_main_loop_new(nullptr, FALSE))
{
    _thread = std::thread([loop = _loop] {
        TRACE_FUNCTION("MainLoopThread");
        TRACE_INFO << "Iterating the default main context" << std::endl;
        g_main_loop_run(loop);
        TRACE_INFO << "Stopped iterating the default main context" << std::endl;
    });
    TRACE_INFO << "Started a thread to iterate the default main context" << std::endl;
}

MainLoopThread::~MainLoopThread()
{
    // Quit at once if the loop runs, and through a source on the context if
    // the thread has not entered the loop yet.
    GSource* stop = g_idle_source_new();
    g_source_set_callback(
        stop,
        [](gpointer loop) -> gboolean {
            g_main_loop_quit(static_cast<GMainLoop*>(loop));
            return G_SOURCE_REMOVE;
        },
        g_main_loop_ref(_loop), reinterpret_cast<GDestroyNotify>(g_main_loop_unref));
    g_source_attach(stop, nullptr);
    g_source_unref(stop);
    g_main_loop_quit(_loop);
    if (_thread.joinable()) {
        _thread.join();
    }
    g_main_loop_unref(_loop);
}
