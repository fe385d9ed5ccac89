// SPDX-License-Identifier: Apache-2.0
// The library's only way to run a program: directly, without a shell, with
// its standard output captured. Nothing of the caller's reaches the program
// but what is passed here: the arguments, the environment, standard input
// from /dev/null, default signal handling and no other open descriptor
// (close-on-exec or not). Its standard error is read and logged at VERBOSE,
// never passed on to the caller's. It runs in a process group of its own.
//
// A program named without a "/" is looked up in the directories of the PATH
// variable of `environment`, the one the program gets: absolute directories
// only, in their order, the first executable regular file wins. Without a
// PATH there, such a name is not found.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace Base {

// A program that takes longer is killed: a hung tool holds up no reading for longer.
constexpr std::chrono::seconds kProgramTimeLimit{10};
constexpr std::size_t kProgramOutputLimit = 64 * 1024;

// The environment of every program the library runs: LC_ALL=C, so that tools
// print untranslated text, and PATH: the hosting process's PATH without its
// relative entries, or the system's default path when the process has none.
std::vector<std::string> programEnvironment();

// The file a program name stands for: itself when it holds a "/", else the
// first executable regular file of that name in an absolute directory of
// `environment`'s PATH; nullopt when there is none.
std::optional<std::string> locateProgram(const std::string& program,
                                         const std::vector<std::string>& environment = programEnvironment());

// The program's trimmed standard output (at most `outputLimit` bytes are
// kept) when it exits with status 0. nullopt when it cannot be started, exits
// with another status, is ended by a signal, or has not finished within
// `timeLimit`: then its process group is killed and the program reaped.
// The program has finished when it has ended: what processes it left behind
// write afterwards is not waited for.
std::optional<std::string> readProgramOutput(const std::string& program, const std::vector<std::string>& arguments,
                                             const std::vector<std::string>& environment = programEnvironment(),
                                             std::chrono::milliseconds timeLimit = kProgramTimeLimit,
                                             std::size_t outputLimit = kProgramOutputLimit);

}  // namespace Base
