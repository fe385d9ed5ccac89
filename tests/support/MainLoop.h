// Drives the GLib default main context the way a hosting client's main loop
// does, until a condition holds or time runs out.
#pragma once

#include <chrono>
#include <functional>

namespace TestSupport {

// Iterates the default main context until `done` returns true; false when
// `timeout` passed first.
bool iterateUntil(const std::function<bool()>& done,
                  std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));

// Iterates the default main context for `duration`.
void iterateFor(std::chrono::milliseconds duration);

}  // namespace TestSupport
