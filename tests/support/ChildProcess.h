// SPDX-License-Identifier: Apache-2.0
// Programs that tests run as child processes: ended with the test process, stopped by pid and reaped.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace TestSupport {

// Runs `arguments` (the program's full path first) in a child that gets SIGTERM when this process ends. Each
// pair of `descriptors` is {the child's descriptor, ours to put there}; all others above them and 2 are closed.
// `prepare` runs in the child first (system calls only) and returns false to give up. The child exits with 126
// when its preparation fails, 127 when the program cannot run. Gives the pid, or -1.
pid_t startChild(std::vector<std::string> arguments, const std::vector<std::pair<int, int>>& descriptors,
                 const std::function<bool()>& prepare = {});

// The first line a child writes to `fd`, without its newline and reading nothing after it, within `within`;
// nullopt when `fd` ends or fails (then `ended` is set) or the time runs out.
std::optional<std::string> readFirstLine(int fd, std::chrono::milliseconds within, bool* ended = nullptr);

// SIGTERM, SIGKILL when the child has not ended within `grace`, and reaps it. Nothing for a pid <= 0.
void stopChild(pid_t pid, std::chrono::milliseconds grace = std::chrono::seconds(10));

}  // namespace TestSupport
