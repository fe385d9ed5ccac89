// An opt-in thread that iterates the GLib default main context, for hosting
// clients that run no GLib main loop of their own (stock FreeRDP clients):
// without one, timer checks and real-time notifications never run.
//
// With CORVANE_MAIN_LOOP=thread the first connection starts one such thread
// for the whole process; it runs until the library is unloaded (the library
// stays loaded until the process exits, when the thread is stopped and joined).
#pragma once

#include <glib.h>

#include <thread>

class MainLoopThread {
public:
    // Starts the thread when CORVANE_MAIN_LOOP is "thread" and it is not
    // running yet; otherwise does nothing.
    static void startIfConfigured();
    static bool isRunning();

    ~MainLoopThread();

    MainLoopThread(const MainLoopThread&) = delete;
    MainLoopThread& operator=(const MainLoopThread&) = delete;

private:
    MainLoopThread();

    GMainLoop* _loop;
    std::thread _thread;
};
