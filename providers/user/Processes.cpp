// SPDX-License-Identifier: Apache-2.0
#include "providers/user/Processes.h"

#include "base/Logging.h"
#include "base/UniqueHandle.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <iterator>

namespace {

// A standard library function's address is not to be taken: fclose is wrapped.
void closeFile(FILE* file)
{
    std::fclose(file);
}

using DirHandle = Base::UniqueHandle<DIR, closedir>;
using FileHandle = Base::UniqueHandle<FILE, closeFile>;

constexpr const char* kProcDir = "/proc";
constexpr const char* kNameField = "Name:";

// A directory name of /proc that names a process: digits only.
bool isNumber(const char* text)
{
    if (*text == '\0') {
        return false;
    }
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') {
            return false;
        }
    }
    return true;
}

bool isBlank(char c)
{
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

}  // namespace

std::optional<std::vector<int>> Processes::enumerate()
{
    DirHandle dir(opendir(kProcDir));
    if (!dir) {
        TRACE_ERROR << "Failed to enumerate processes with invalid proc dir" << std::endl;
        return std::nullopt;
    }
    std::vector<int> ids;
    while (const dirent* entry = readdir(dir.get())) {
        const char* name = entry->d_name;
        if (!isNumber(name)) {
            continue;
        }
        int pid = 0;
        const char* end = name + std::strlen(name);
        const auto [last, error] = std::from_chars(name, end, pid);
        if (error == std::errc() && last == end) {
            ids.push_back(pid);
        }
    }
    return ids;
}

std::optional<std::string> Processes::name(int pid)
{
    char path[4096];
    std::snprintf(path, sizeof(path), "/proc/%d/status", pid);
    FileHandle file(std::fopen(path, "r"));
    if (!file) {
        return std::nullopt;
    }
    const std::size_t fieldLength = std::strlen(kNameField);
    char line[1000];
    while (std::fgets(line, sizeof(line), file.get()) != nullptr) {
        if (std::strncmp(line, kNameField, fieldLength) != 0) {
            continue;
        }
        const char* start = line + fieldLength;
        while (*start != '\0' && isBlank(*start)) {
            ++start;
        }
        const char* end = start;
        while (*end != '\0' && !isBlank(*end)) {
            ++end;
        }
        return std::string(start, end);
    }
    return std::nullopt;
}

std::optional<int> Processes::lastCreatedFrom(std::string_view loadavg)
{
    // The fifth field; the fourth is "running/all".
    std::size_t start = 0;
    for (int field = 0; field < 4; ++field) {
        const std::size_t blank = loadavg.find(' ', start);
        if (blank == std::string_view::npos) {
            return std::nullopt;
        }
        start = blank + 1;
    }
    if (loadavg.find('/') >= start) {
        return std::nullopt;
    }
    const std::string_view last = loadavg.substr(start, loadavg.find_first_of(" \n", start) - start);
    int pid = 0;
    const auto [end, error] = std::from_chars(last.data(), last.data() + last.size(), pid);
    if (error != std::errc() || end != last.data() + last.size() || last.empty() || pid < 0) {
        return std::nullopt;
    }
    return pid;
}

std::optional<int> Processes::lastCreated(int loadavg)
{
    // Read at every check: one call, no log line.
    char text[256];
    const ssize_t got = pread(loadavg, text, sizeof(text), 0);
    return got > 0 ? lastCreatedFrom(std::string_view(text, static_cast<std::size_t>(got))) : std::nullopt;
}

bool Processes::listsOwnNamespace()
{
    // The counter is this process's namespace's, the listing that of /proc's
    // mount: they agree when /proc/self names this process.
    char self[32];
    const ssize_t length = readlink("/proc/self", self, sizeof(self));
    int named = 0;
    return length > 0 && std::from_chars(self, self + length, named).ptr == self + length && named == getpid();
}

bool Processes::exists(int pid)
{
    char path[32];
    std::snprintf(path, sizeof(path), "/proc/%d", pid);
    struct stat facts {};
    return stat(path, &facts) == 0;
}

void Processes::sort(std::vector<int>& ids)
{
    std::sort(ids.begin(), ids.end());
}

void Processes::createdFromSorted(const std::vector<int>& previous, const std::vector<int>& current,
                                  std::vector<int>& created)
{
    std::set_difference(current.begin(), current.end(), previous.begin(), previous.end(), std::back_inserter(created));
}

void Processes::destroyedFromSorted(const std::vector<int>& previous, const std::vector<int>& current,
                                    std::vector<int>& destroyed)
{
    std::set_difference(previous.begin(), previous.end(), current.begin(), current.end(),
                        std::back_inserter(destroyed));
}

bool Processes::eraseFromSorted(int pid, std::vector<int>& sorted)
{
    const auto at = std::lower_bound(sorted.begin(), sorted.end(), pid);
    if (at == sorted.end() || *at != pid) {
        return false;
    }
    sorted.erase(at);
    return true;
}
