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

// The state of each file, or nullopt when one cannot be looked at or changed
// too recently to be told apart from a next change.
std::optional<std::vector<FileState>> states(const std::vector<std::string>& files)
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const std::int64_t trusted = nanoseconds(now) - std::chrono::nanoseconds(kRecentChange).count();
    std::vector<FileState> result;
    result.reserve(files.size());
    for (const std::string& file : files) {
        struct stat facts {};
        if (stat(file.c_str(), &facts) != 0) {
            return std::nullopt;
        }
        const FileState state{facts.st_dev, facts.st_ino, facts.st_size, nanoseconds(facts.st_mtim),
                              nanoseconds(facts.st_ctim)};
        if (state.changed > trusted || state.modified > trusted) {
            return std::nullopt;
        }
        result.push_back(state);
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

}  // namespace

std::optional<std::string> ProgramAnswers::read(const std::string& program, const std::vector<std::string>& arguments,
                                                const std::vector<std::string>& inputs)
{
    const std::vector<std::string> environment = programEnvironment();
    const std::optional<std::string> located = locateProgram(program, environment);
    if (!located) {
        return readProgramOutput(program, arguments, environment);
    }
    std::vector<std::string> files{*located};
    files.insert(files.end(), inputs.begin(), inputs.end());
    std::string key = *located;
    for (const std::string& argument : arguments) {
        key += '\0' + argument;
    }

    // The files are looked at before the program runs: a change while it
    // runs makes the next reading run it again.
    const std::optional<std::vector<FileState>> before = states(files);
    if (before) {
        std::lock_guard<std::mutex> lock(gMutex);
        const auto found = gAnswers.find(key);
        if (found != gAnswers.end() && found->second.files == *before) {
            return found->second.output;
        }
    }
    std::optional<std::string> output = readProgramOutput(program, arguments, environment);
    if (before) {
        std::lock_guard<std::mutex> lock(gMutex);
        const auto [entry, inserted] = gAnswers.insert_or_assign(key, Answer{*before, output});
        if (inserted) {
            gOrder.push_back(key);
        }
        while (gOrder.size() > kMaximumAnswers) {
            gAnswers.erase(gOrder.front());
            gOrder.pop_front();
        }
    }
    return output;
}

}  // namespace Base
