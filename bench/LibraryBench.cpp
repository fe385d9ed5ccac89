// SPDX-License-Identifier: Apache-2.0
// cvclient-bench: the library's costs as a host process sees them. It loads
// the library with dlopen and drives it through its entry points only, as a
// transport does, and prints one table:
//   - dlopen: time and resident memory added before the first connection,
//     and the memory added once its channel is open, before its Initialise;
//   - initial answer: from ClientDataRead of the Initialise to the initial
//     message, for all the categories asked for and for each alone; at the
//     first connection also the programs it started, and what one program
//     start costs on this machine;
//   - CPU of a periodic check without changes (user plus system time of the
//     whole process, its children included), for all and for each alone;
//   - resident memory, descriptors and threads after a long run of checks.
// Checks are counted in the library's log, which the bench points at a file
// of its own (CORVANE_LOGGING_FILE).
//
//   cvclient-bench LIBRARY LOG CATEGORY,... [CHECKS [CATEGORY.NAME=VALUE...]]
// A category written +NAME is measured alone only, not among "all" (the web
// categories, whose answers depend on a service). The pairs are the
// categories' configuration, as the host sends it.
#include "core/cvclient.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kShortestInterval = 100;  // ms, the library's shortest check interval
constexpr int kNoChecks = 600000;       // ms, an interval no run reaches

struct Written {
    std::mutex mutex;
    std::condition_variable arrived;
    int initial = 0;
    int updates = 0;
    Clock::time_point initialAt;
};

Written gWritten;
long gRssFirstConnected = -1;  // KiB, once the first channel is open, before its Initialise

void captureWrite(TConnection*, const char* data, unsigned int length)
{
    const std::string text(data, length);
    std::lock_guard<std::mutex> lock(gWritten.mutex);
    if (text.find("\"initializeDeviceProperties\"") != std::string::npos) {
        ++gWritten.initial;
        gWritten.initialAt = Clock::now();
    } else if (text.find("\"updateDeviceProperties\"") != std::string::npos) {
        ++gWritten.updates;
    }
    gWritten.arrived.notify_all();
}

struct Library {
    bool (*connected)(TConnection*);
    void (*dataRead)(TConnection*, const char*, unsigned int);
    void (*disconnected)(TConnection*);
};

std::vector<std::string> split(const std::string& list)
{
    std::vector<std::string> items;
    std::istringstream stream(list);
    for (std::string item; std::getline(stream, item, ',');) {
        if (!item.empty()) {
            items.push_back(item);
        }
    }
    return items;
}

// Configuration pairs by category.
std::multimap<std::string, std::pair<std::string, std::string>> gConfig;

std::string quoted(const std::string& text)
{
    std::string out = "\"";
    for (const char c : text) {
        out += (c == '"' || c == '\\') ? std::string("\\") + c : std::string(1, c);
    }
    return out + "\"";
}

std::string initialise(const std::vector<std::string>& categories, int interval)
{
    std::string message = "{\"id\":\"Initialize\",\"data\":{\"propertyCheckInterval\":" + std::to_string(interval) +
                          ",\"softwareVersion\":\"20.1.0.0\",\"properties\":[";
    for (std::size_t i = 0; i < categories.size(); ++i) {
        std::string config;
        const auto [from, to] = gConfig.equal_range(categories[i]);
        for (auto pair = from; pair != to; ++pair) {
            config += (config.empty() ? "[" : ",[") + quoted(pair->second.first) + "," + quoted(pair->second.second) + "]";
        }
        message += (i ? "," : "") + std::string("{\"name\":") + quoted(categories[i]) +
                   ",\"status\":2,\"filter\":0,\"config\":[" + config + "]}";
    }
    return message + "]}}";
}

double cpuMilliseconds()
{
    double total = 0;
    for (const int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
        rusage usage{};
        getrusage(who, &usage);
        total += (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
                 (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
    }
    return total;
}

// A field of /proc/self/status in kB or as a count ("VmRSS", "Threads").
long status(const std::string& field)
{
    std::ifstream file("/proc/self/status");
    for (std::string line; std::getline(file, line);) {
        if (line.rfind(field + ":", 0) == 0) {
            return std::atol(line.c_str() + field.size() + 1);
        }
    }
    return -1;
}

// What each open descriptor leads to ("socket:[123]", a path, ...).
std::multiset<std::string> descriptors()
{
    std::multiset<std::string> open;
    if (DIR* directory = opendir("/proc/self/fd")) {
        while (const dirent* entry = readdir(directory)) {
            char target[512];
            const std::string link = std::string("/proc/self/fd/") + entry->d_name;
            const ssize_t length = readlink(link.c_str(), target, sizeof(target) - 1);
            if (entry->d_name[0] != '.' && length > 0 && std::to_string(dirfd(directory)) != entry->d_name) {
                open.insert(std::string(target, static_cast<std::size_t>(length)));
            }
        }
        closedir(directory);
    }
    return open;
}

// The kinds of descriptors in `after` beyond those in `before`.
std::string added(const std::multiset<std::string>& before, const std::multiset<std::string>& after)
{
    std::vector<std::string> more;
    std::set_difference(after.begin(), after.end(), before.begin(), before.end(), std::back_inserter(more));
    std::string text;
    for (std::string& target : more) {
        if (target.rfind("socket:", 0) == 0 || target.rfind("pipe:", 0) == 0 || target.rfind("anon_inode:", 0) == 0) {
            target.erase(target.find(':'));
        }
        text += (text.empty() ? " (new: " : ", ") + target;
    }
    return text.empty() ? "" : text + ")";
}

// The programs the library started so far, as its log records them.
long programsStarted(const std::string& path)
{
    std::ifstream file(path);
    long started = 0;
    for (std::string line; std::getline(file, line);) {
        started += line.find("] finished, output bytes [") != std::string::npos;
    }
    return started;
}

// What starting one program costs on this machine, whoever starts it: the
// median wall and CPU time (the child's, and this process's for the start)
// of 21 starts of IGEL's `get` as the library runs it, or of `true` where
// the endpoint has no `get`.
struct ProgramStart {
    std::string program;
    double wallMs = -1;
    double cpuMs = -1;
};

ProgramStart measureProgramStart()
{
    std::vector<double> walls, cpus;
    for (const char* program : {"get", "true"}) {
        walls.clear();
        cpus.clear();
        for (int i = 0; i < 21; ++i) {
            posix_spawn_file_actions_t actions;
            posix_spawn_file_actions_init(&actions);
            posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
            posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
            posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
            char* arguments[] = {const_cast<char*>(program), const_cast<char*>("product.version"), nullptr};
            const double cpu = cpuMilliseconds();
            const Clock::time_point begun = Clock::now();
            // posix_spawnp itself fails for a program that is not on PATH.
            pid_t child = -1;
            const int spawned = posix_spawnp(&child, program, &actions, nullptr, arguments, environ);
            posix_spawn_file_actions_destroy(&actions);
            if (spawned != 0 || waitpid(child, nullptr, 0) != child) {
                break;
            }
            walls.push_back(std::chrono::duration<double, std::milli>(Clock::now() - begun).count());
            cpus.push_back(cpuMilliseconds() - cpu);
        }
        if (walls.size() == 21) {
            std::sort(walls.begin(), walls.end());
            std::sort(cpus.begin(), cpus.end());
            return {program, walls[10], cpus[10]};
        }
    }
    return {};
}

// The periodic checks the log records, counted as the log grows (only the
// new part is read, so that counting costs next to nothing).
class CheckCounter {
public:
    explicit CheckCounter(std::string path) : _path(std::move(path)) {}
    long count()
    {
        std::ifstream file(_path, std::ios::ate);
        if (file.tellg() < _offset) {
            _offset = 0;  // the library rotated its log: a new file begins
        }
        file.seekg(_offset);
        for (std::string line; std::getline(file, line);) {
            if (file.eof()) {  // a line still being written: read it again next time
                break;
            }
            _offset += static_cast<std::streamoff>(line.size() + 1);
            _count += line.find("timeout : VERBOSE - Done handling timer [") != std::string::npos;
        }
        return _count;
    }

private:
    std::string _path;
    std::streamoff _offset = 0;
    long _count = 0;
};

// One connection asking for `categories`: the initial answer's time in ms,
// then, when `checks` > 0, that many checks at the shortest interval.
struct Run {
    double initialMs = -1;
    double initialCpuMs = 0;  // the process's and its programs' CPU until the answer
    double cpuPerCheckMs = 0;
    long checks = 0;
    int updates = 0;
};

Run connectAndCheck(const Library& library, CheckCounter& log, const std::vector<std::string>& categories,
                    long checks)
{
    Run run;
    TConnection connection{};
    connection.writeData = &captureWrite;
    if (!library.connected(&connection)) {
        return run;
    }
    if (gRssFirstConnected < 0) {
        gRssFirstConnected = status("VmRSS");
    }
    int before;
    {
        std::lock_guard<std::mutex> lock(gWritten.mutex);
        before = gWritten.initial;
        gWritten.updates = 0;
    }
    const std::string message = initialise(categories, checks > 0 ? kShortestInterval : kNoChecks);
    const double cpuAtSend = cpuMilliseconds();
    const Clock::time_point sent = Clock::now();
    library.dataRead(&connection, message.c_str(), static_cast<unsigned int>(message.size()));
    {
        std::unique_lock<std::mutex> lock(gWritten.mutex);
        if (gWritten.arrived.wait_for(lock, std::chrono::seconds(60), [&] { return gWritten.initial > before; })) {
            run.initialMs = std::chrono::duration<double, std::milli>(gWritten.initialAt - sent).count();
            run.initialCpuMs = cpuMilliseconds() - cpuAtSend;
        }
    }
    if (checks > 0 && run.initialMs >= 0) {
        // The first checks after the answer warm up; then the measured ones.
        usleep(3 * kShortestInterval * 1000);
        const long first = log.count();
        const double cpu = cpuMilliseconds();
        // Counted seldom: the bench's own reading of the log is no part of a
        // check's cost, so it sleeps for about the checks still to come.
        for (long done = 0; (done = log.count() - first) < checks;) {
            usleep(static_cast<useconds_t>(std::min(checks - done, 600L) * kShortestInterval * 1000));
        }
        run.checks = log.count() - first;
        run.cpuPerCheckMs = (cpuMilliseconds() - cpu) / static_cast<double>(run.checks);
        std::lock_guard<std::mutex> lock(gWritten.mutex);
        run.updates = gWritten.updates;
    }
    library.disconnected(&connection);
    return run;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::cerr << "usage: cvclient-bench LIBRARY LOG CATEGORY,... [CHECKS]\n";
        return 2;
    }
    CheckCounter log(argv[2]);
    std::vector<std::string> categories, alone;
    for (const std::string& name : split(argv[3])) {
        (name[0] == '+' ? alone : categories).push_back(name[0] == '+' ? name.substr(1) : name);
    }
    alone.insert(alone.begin(), categories.begin(), categories.end());
    const long longRun = argc > 4 ? std::atol(argv[4]) : 10000;
    for (int i = 5; i < argc; ++i) {
        const std::string pair = argv[i];
        const std::size_t dot = pair.find('.'), equals = pair.find('=');
        if (dot == std::string::npos || equals == std::string::npos || equals < dot) {
            std::cerr << "cvclient-bench: not CATEGORY.NAME=VALUE: " << pair << "\n";
            return 2;
        }
        gConfig.emplace(pair.substr(0, dot), std::pair{pair.substr(dot + 1, equals - dot - 1), pair.substr(equals + 1)});
    }
    setenv("CORVANE_LOGGING_FILE", argv[2], 1);

    const long rssBefore = status("VmRSS");
    const Clock::time_point loading = Clock::now();
    void* handle = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    const double loadMs = std::chrono::duration<double, std::milli>(Clock::now() - loading).count();
    if (handle == nullptr) {
        std::cerr << "cvclient-bench: " << dlerror() << "\n";
        return 1;
    }
    const long rssLoaded = status("VmRSS");
    Library library{reinterpret_cast<bool (*)(TConnection*)>(dlsym(handle, "ClientConnected")),
                    reinterpret_cast<void (*)(TConnection*, const char*, unsigned int)>(dlsym(handle, "ClientDataRead")),
                    reinterpret_cast<void (*)(TConnection*)>(dlsym(handle, "ClientDisconnected"))};
    auto* traceInit = reinterpret_cast<void (*)(unsigned int)>(dlsym(handle, "TRACE_INIT"));
    if (!library.connected || !library.dataRead || !library.disconnected || !traceInit) {
        std::cerr << "cvclient-bench: the library lacks an entry point\n";
        return 1;
    }
    traceInit(0);

    std::printf("| figure | value |\n|---|---|\n");
    std::printf("| dlopen | %.1f ms, %.1f MiB RSS added |\n", loadMs, (rssLoaded - rssBefore) / 1024.0);
    const Run first = connectAndCheck(library, log, categories, 0);
    std::printf("| dlopen and the first ClientConnected: RSS added before the first Initialise | %.1f MiB |\n",
                (gRssFirstConnected - rssBefore) / 1024.0);
    const long firstPrograms = programsStarted(argv[2]);
    std::printf("| initial answer, all asked for, first connection: wall; CPU | %.1f ms; %.1f ms |\n", first.initialMs,
                first.initialCpuMs);
    const ProgramStart start = measureProgramStart();
    if (start.wallMs >= 0) {
        std::printf("| programs the first connection started; one start of `%s` on this machine, wall and CPU "
                    "(median of 21): their CPU at that rate | %ld; %.2f ms and %.2f ms: %.1f ms |\n",
                    start.program.c_str(), firstPrograms, start.wallMs, start.cpuMs, firstPrograms * start.cpuMs);
    }
    const Run all = connectAndCheck(library, log, categories, 50);
    std::printf("| initial answer, all asked for, next connection | %.1f ms |\n", all.initialMs);
    std::printf("| CPU per check without changes, all asked for | %.3f ms (%ld checks, %d updates) |\n",
                all.cpuPerCheckMs, all.checks, all.updates);
    // One connection's answer is at the mercy of the machine's other work:
    // the median of several, with the fastest and the slowest.
    std::vector<Run> more;
    for (int connection = 0; connection < 9; ++connection) {
        more.push_back(connectAndCheck(library, log, categories, 0));
    }
    const auto median = [&more](double Run::*figure) {
        std::vector<double> values;
        for (const Run& run : more) {
            values.push_back(run.*figure);
        }
        std::sort(values.begin(), values.end());
        return std::tuple{values[values.size() / 2], values.front(), values.back()};
    };
    const auto [wall, fastest, slowest] = median(&Run::initialMs);
    const auto [cpu, least, most] = median(&Run::initialCpuMs);
    std::printf("| initial answer, all asked for, median of 9 more connections: wall; CPU | %.1f ms (%.1f to %.1f); "
                "%.1f ms (%.1f to %.1f) |\n", wall, fastest, slowest, cpu, least, most);
    for (const std::string& category : alone) {
        const Run single = connectAndCheck(library, log, {category}, 20);
        std::printf("| %s alone: initial answer, wall and CPU; CPU per check | %.1f ms, %.1f ms; %.3f ms |\n",
                    category.c_str(), single.initialMs, single.initialCpuMs, single.cpuPerCheckMs);
    }
    if (longRun > 0) {
        // Warm-up, then the long run on one connection; growth is the
        // difference between the figures after the warm-up and at the end.
        TConnection connection{};
        connection.writeData = &captureWrite;
        library.connected(&connection);
        const std::string message = initialise(categories, kShortestInterval);
        library.dataRead(&connection, message.c_str(), static_cast<unsigned int>(message.size()));
        const long start = log.count();
        const auto waitFor = [&](long count) {
            while (log.count() - start < count) {
                sleep(1);
            }
        };
        waitFor(std::min(200L, longRun));
        const long rss = status("VmRSS"), threads = status("Threads");
        const std::multiset<std::string> fds = descriptors();
        const long warm = log.count();
        const double cpu = cpuMilliseconds();
        waitFor(longRun);
        const double cpuPerCheck = (cpuMilliseconds() - cpu) / static_cast<double>(std::max(1L, log.count() - warm));
        const std::multiset<std::string> fdsAfter = descriptors();
        std::printf("| after %ld checks: RSS; descriptors; threads | %.1f -> %.1f MiB; %zu -> %zu%s; %ld -> %ld |\n",
                    log.count() - start, rss / 1024.0, status("VmRSS") / 1024.0, fds.size(), fdsAfter.size(),
                    added(fds, fdsAfter).c_str(), threads, status("Threads"));
        std::printf("| CPU per check without changes, all asked for, after the warm-up of the long run | %.3f ms |\n",
                    cpuPerCheck);
        library.disconnected(&connection);
    }
    return 0;
}
