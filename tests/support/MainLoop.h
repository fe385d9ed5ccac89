// SPDX-License-Identifier: Apache-2.0
// Waiting in tests, false when `timeout` passed first. waitUntil only waits (the library works on a thread of
// its own); iterateUntil iterates the GLib default main context, as a client's main loop does.
#pragma once
#include <chrono>
#include <functional>

namespace TestSupport {
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(10));
bool iterateUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(10));
}  // namespace TestSupport
