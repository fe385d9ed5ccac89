// Programs that tests run as child processes of their own: started so that
// they end with the test process, stopped by PID and reaped.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace TestSupport {

// Runs `arguments` (the program's full path first) in a child process that
// gets SIGTERM when this process ends, even when it is killed. Each pair of
// `descriptors` is {the child's descriptor, this process's descriptor to put
// there}; every other descriptor above the highest of them (and above 2) is
// closed. `prepare`, when given, runs in the child before the program and
// returns false to give up; the test process has threads, so it may make
// system calls only. The child exits with 126 when its preparation fails and
// with 127 when the program cannot run. Returns the child's pid, or -1 when
// fork fails.
pid_t startChild(std::vector<std::string> arguments, const std::vector<std::pair<int, int>>& descriptors,
                 const std::function<bool()>& prepare = {});

// Reads what a child writes to `fd` up to its first newline, waiting at most
// `within` (a bound that only keeps a child that hangs from hanging the test).
// Returns the line without its newline, or nullopt when `fd` ends, fails or
// the time runs out first; `ended`, when given, is set when `fd` ended or
// failed rather than the time ran out. Nothing after the newline is read.
std::optional<std::string> readFirstLine(int fd, std::chrono::milliseconds within, bool* ended = nullptr);

// Stops the child `pid`: SIGTERM, SIGKILL when it has not ended within
// `grace`, and reaps it. Nothing for a pid of 0 or less.
void stopChild(pid_t pid, std::chrono::milliseconds grace = std::chrono::seconds(10));

}  // namespace TestSupport
