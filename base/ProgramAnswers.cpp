// SPDX-License-Identifier: Apache-2.0
#include "base/ProgramAnswers.h"

#include "base/ProgramOutput.h"

#include <sys/stat.h>

#include <chrono>
#include <ctime>
#include <deque>
#include <map>
#include <mutex>
#include <tuple>

namespace Base {

namespace {

constexpr std::chrono::seconds kRecentChange{2};

struct FileState {
    dev_t device;
    ino_t inode;
    off_t size;
    std::int64_t modified;  // nanoseconds
    std::int64_t changed;   // nanoseconds

    bool operator==(const FileState&) const = default;
};

std::int64_t nanoseconds(const timespec& time)
{
    return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

// What the current round of this thread has looked at: the state of each file
// (nullopt: it could not be looked at), and where each program was found on
// PATH, by program and PATH.
struct RoundLooks {
    int depth = 0;
    std::int64_t started = 0;  // nanoseconds, the round's clock
    std::map<std::string, std::optional<FileState>> files;
    std::map<std::string, std::optional<std::string>> programs;
    std::optional<std::vector<std::string>> environment;  // the programs' environment
};
thread_local RoundLooks tRound;

std::int64_t realTime()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return nanoseconds(now);
}

std::optional<FileState> lookAt(const std::string& file)
{
    const auto found = tRound.depth > 0 ? tRound.files.find(file) : tRound.files.end();
    if (found != tRound.files.end()) {
        return found->second;
    }
    struct stat facts {};
    std::optional<FileState> state;
    if (stat(file.c_str(), &facts) == 0) {
        state = FileState{facts.st_dev, facts.st_ino, facts.st_size, nanoseconds(facts.st_mtim),
                          nanoseconds(facts.st_ctim)};
    }
    if (tRound.depth > 0) {
        tRound.files.emplace(file, state);
    }
    return state;
}

const std::vector<std::string>& roundEnvironment()
{
    if (tRound.depth == 0 || !tRound.environment) {
        tRound.environment = programEnvironment();
    }
    return *tRound.environment;
}

std::optional<std::string> locate(const std::string& program, const std::vector<std::string>& environment)
{
    if (tRound.depth == 0) {
        return locateProgram(program, environment);
    }
    std::string key = program;
    for (const std::string& variable : environment) {
        if (variable.rfind("PATH=", 0) == 0) {
            key += '\0' + variable;
        }
    }
    const auto found = tRound.programs.find(key);
    if (found != tRound.programs.end()) {
        return found->second;
    }
    return tRound.programs.emplace(key, locateProgram(program, environment)).first->second;
}

// The state of each file, or nullopt when one cannot be looked at or changed
// too recently to be told apart from a next change.
std::optional<std::vector<FileState>> states(const std::vector<std::string>& files)
{
    const std::int64_t now = tRound.depth > 0 ? tRound.started : realTime();
    const std::int64_t trusted = now - std::chrono::nanoseconds(kRecentChange).count();
    std::vector<FileState> result;
    result.reserve(files.size());
    for (const std::string& file : files) {
        const std::optional<FileState> state = lookAt(file);
        if (!state) {
            return std::nullopt;
        }
        if (state->changed > trusted || state->modified > trusted) {
            return std::nullopt;
        }
        result.push_back(*state);
    }
    return result;
}

struct Answer {
    std::vector<FileState> files;
    std::optional<std::string> output;
};

std::mutex gMutex;
std::map<std::string, Answer> gAnswers;
std::deque<std::string> gOrder;  // the keys, oldest first

std::optional<std::string> kept(const std::string& key, const std::vector<std::string>& files,
                                const std::function<std::optional<std::string>()>& answer)
{
    // The files are looked at before the answer is made: a change meanwhile
    // makes the next reading make it again.
    const std::optional<std::vector<FileState>> before = states(files);
    if (before) {
        std::lock_guard<std::mutex> lock(gMutex);
        const auto found = gAnswers.find(key);
        if (found != gAnswers.end() && found->second.files == *before) {
            return found->second.output;
        }
    }
    std::optional<std::string> output = answer();
    if (before) {
        std::lock_guard<std::mutex> lock(gMutex);
        const auto [entry, inserted] = gAnswers.insert_or_assign(key, Answer{*before, output});
        if (inserted) {
            gOrder.push_back(key);
        }
        while (gOrder.size() > ProgramAnswers::kMaximumAnswers) {
            gAnswers.erase(gOrder.front());
            gOrder.pop_front();
        }
    }
    return output;
}

}  // namespace

ProgramAnswers::Round::Round()
{
    if (tRound.depth++ == 0) {
        tRound.started = realTime();
    }
}

ProgramAnswers::Round::~Round()
{
    if (--tRound.depth == 0) {
        tRound.files.clear();
        tRound.programs.clear();
        tRound.environment.reset();
    }
}

std::optional<std::string> ProgramAnswers::read(const std::string& program, const std::vector<std::string>& arguments,
                                                const std::vector<std::string>& inputs)
{
    const std::vector<std::string>& environment = roundEnvironment();
    const std::optional<std::string> located = locate(program, environment);
    if (!located) {
        return readProgramOutput(program, arguments, environment);
    }
    std::vector<std::string> files{*located};
    files.insert(files.end(), inputs.begin(), inputs.end());
    std::string key = *located;
    for (const std::string& argument : arguments) {
        key += '\0' + argument;
    }
    return kept(key, files, [&] { return readProgramOutput(program, arguments, environment); });
}

std::optional<std::string> ProgramAnswers::readWith(const std::string& key, const std::vector<std::string>& inputs,
                                                    const std::function<std::optional<std::string>()>& answer)
{
    // A program's key starts with its absolute path: a leading NUL keeps these apart.
    return kept(std::string(1, '\0') + key, inputs, answer);
}

}  // namespace Base
