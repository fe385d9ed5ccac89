#include "support/MainLoop.h"

#include <glib.h>

#include <thread>

namespace TestSupport {

namespace {

gboolean wake(gpointer)
{
    return G_SOURCE_REMOVE;
}

// One blocking iteration, woken at the latest after a few milliseconds.
void iterateOnce()
{
    GSource* tick = g_timeout_source_new(5);
    g_source_set_callback(tick, &wake, nullptr, nullptr);
    g_source_attach(tick, nullptr);
    g_main_context_iteration(nullptr, TRUE);
    g_source_destroy(tick);
    g_source_unref(tick);
}

}  // namespace

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

bool iterateUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        iterateOnce();
    }
    return true;
}

void iterateFor(std::chrono::milliseconds duration)
{
    const auto deadline = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < deadline) {
        iterateOnce();
    }
}

}  // namespace TestSupport
