// Runs a program directly, without a shell, and captures its standard output.
// Nothing of the caller's reaches the program but what is passed here: the
// arguments, the environment, standard input from /dev/null, the caller's
// standard error, default signal handling and no other open descriptors.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace Base {

// The program's trimmed standard output (at most `outputLimit` bytes are
// kept), whatever its exit status. nullopt when the program cannot be
// started, or when it has not finished within `timeLimit`: it is then killed
// and reaped.
std::optional<std::string> readProgramOutput(const std::string& program, const std::vector<std::string>& arguments,
                                             const std::vector<std::string>& environment,
                                             std::chrono::milliseconds timeLimit,
                                             std::size_t outputLimit = 64 * 1024);

}  // namespace Base
