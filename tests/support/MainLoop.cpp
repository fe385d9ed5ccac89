// SPDX-License-Identifier: Apache-2.0
#include "support/MainLoop.h"

#include <glib.h>

#include <thread>

namespace TestSupport {
static bool until(const std::function<bool()>& done, std::chrono::milliseconds timeout, void (*step)())
{
    for (const auto deadline = std::chrono::steady_clock::now() + timeout; !done(); step()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
    }
    return true;
}
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    return until(done, timeout, [] { std::this_thread::sleep_for(std::chrono::milliseconds(2)); });
}
// Blocking iterations of the default context, each woken after a few milliseconds at the latest.
bool iterateUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    return until(done, timeout, [] {
        GSource* tick = g_timeout_source_new(5);
        g_source_set_callback(tick, [](gpointer) { return gboolean{G_SOURCE_REMOVE}; }, nullptr, nullptr);
        g_source_attach(tick, nullptr);
        g_main_context_iteration(nullptr, TRUE);
        g_source_destroy(tick);
        g_source_unref(tick);
    });
}
}  // namespace TestSupport
