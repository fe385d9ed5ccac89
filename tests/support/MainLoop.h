// Waiting in tests. The library works on a thread of its own: a test waits
// for what it does without iterating any main context. Tests of a unit that
// runs on a context the test gives it (a timer, a provider's own GLib client)
// iterate the GLib default main context the way a client's main loop does.
#pragma once

#include <chrono>
#include <functional>

namespace TestSupport {

// Waits, without iterating any main context, until `done` returns true;
// false when `timeout` passed first.
bool waitUntil(const std::function<bool()>& done,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));

// Iterates the default main context until `done` returns true; false when
// `timeout` passed first.
bool iterateUntil(const std::function<bool()>& done,
                  std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));

// Iterates the default main context for `duration`.
void iterateFor(std::chrono::milliseconds duration);

}  // namespace TestSupport
