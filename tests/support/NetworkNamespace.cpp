#include "support/NetworkNamespace.h"

#include <glib.h>
#include <sched.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace TestSupport {

NetworkNamespace::NetworkNamespace()
{
    std::promise<void> started;
    std::future<void> ready = started.get_future();
    _thread = std::thread([this, &started] { serve(started); });
    try {
        ready.get();
    } catch (...) {
        _thread.join();
        throw;
    }
}

NetworkNamespace::~NetworkNamespace()
{
    {
        const std::lock_guard<std::mutex> lock(_mutex);
        _stopping = true;
    }
    _wake.notify_one();
    _thread.join();
}

void NetworkNamespace::serve(std::promise<void>& started)
{
    // Only this thread moves; the rest of the process keeps its namespace.
    if (unshare(CLONE_NEWNET) != 0) {
        started.set_exception(std::make_exception_ptr(
            std::runtime_error(std::string("cannot make a network namespace: ") + std::strerror(errno))));
        return;
    }
    GMainContext* context = g_main_context_default();
    if (!g_main_context_acquire(context)) {
        started.set_exception(std::make_exception_ptr(std::runtime_error("the main context is owned elsewhere")));
        return;
    }
    started.set_value();
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock<std::mutex> lock(_mutex);
            _wake.wait(lock, [this] { return _stopping || !_jobs.empty(); });
            if (_jobs.empty()) {
                break;
            }
            job = std::move(_jobs.front());
            _jobs.pop();
        }
        job();
        // What a hosting client's main loop would dispatch after the job.
        while (g_main_context_iteration(context, FALSE)) {
        }
    }
    g_main_context_release(context);
}

void NetworkNamespace::post(std::function<void()> job)
{
    {
        const std::lock_guard<std::mutex> lock(_mutex);
        _jobs.push(std::move(job));
    }
    _wake.notify_one();
}

void NetworkNamespace::command(const std::string& line)
{
    const int status = run([&line] { return std::system(line.c_str()); });
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error("command failed: " + line);
    }
}

}  // namespace TestSupport
