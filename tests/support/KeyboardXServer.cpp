#include "support/KeyboardXServer.h"

#include <X11/XKBlib.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <stdexcept>

extern char** environ;

namespace TestSupport {

namespace {

constexpr const char* kXvfb = "/usr/bin/Xvfb";
constexpr const char* kSetxkbmap = "/usr/bin/setxkbmap";

// Generous bounds that only keep a hanging server from hanging the test.
constexpr auto kStartTimeout = std::chrono::seconds(30);

int waitFor(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return status;
}

// Runs a tool to its end; its exit status, or -1 when it cannot run.
int run(std::vector<std::string> arguments, const std::string& outputFile)
{
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        return -1;
    }
    const int status = waitFor(pid);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct DisplayCloser {
    void operator()(Display* display) const { XCloseDisplay(display); }
};

}  // namespace

KeyboardXServer::KeyboardXServer(const std::string& layouts)
{
    int ready[2] = {-1, -1};
    if (pipe2(ready, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed for Xvfb");
    }
    const std::string outputPath = _files.file("xvfb.out");
    const int outputFile = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (outputFile < 0) {
        close(ready[0]);
        close(ready[1]);
        throw std::runtime_error("cannot open Xvfb's output file");
    }

    // Everything the child needs is made before fork: the test process may
    // have threads, so the child makes only system calls until it runs Xvfb.
    // Xvfb writes its display number to descriptor 3 once it accepts clients.
    std::vector<std::string> arguments{kXvfb, "-displayfd", "3", "-nolisten", "tcp", "-noreset",
                                       "-screen", "0", "1024x768x24"};
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);

    const pid_t parent = getpid();
    _pid = fork();
    if (_pid == 0) {
        // The server ends with the test process, even one that is killed.
        if (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || getppid() != parent) {
            _exit(126);
        }
        if (dup2(ready[1], 3) < 0 || dup2(outputFile, STDOUT_FILENO) < 0 || dup2(outputFile, STDERR_FILENO) < 0) {
            _exit(126);
        }
        close_range(4, ~0U, 0);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(outputFile);
    close(ready[1]);
    if (_pid < 0) {
        close(ready[0]);
        throw std::runtime_error("fork failed for Xvfb");
    }

    // Read the display number; end of file means the server gave up.
    std::string number;
    const auto giveUp = std::chrono::steady_clock::now() + kStartTimeout;
    while (number.empty() || number.back() != '\n') {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(giveUp - std::chrono::steady_clock::now()).count();
        pollfd waiting{ready[0], POLLIN, 0};
        char buffer[32];
        const ssize_t got = left > 0 && poll(&waiting, 1, static_cast<int>(left)) > 0
                                ? read(ready[0], buffer, sizeof(buffer))
                                : -1;
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            close(ready[0]);
            kill(_pid, SIGTERM);
            waitFor(_pid);
            _pid = -1;
            throw std::runtime_error("Xvfb did not start:\n" + output());
        }
        number.append(buffer, static_cast<std::size_t>(got));
    }
    close(ready[0]);
    number.pop_back();
    _display = ":" + number;

    if (run({kSetxkbmap, "-display", _display, "-layout", layouts}, _files.file("setxkbmap.out")) != 0) {
        kill(_pid, SIGTERM);
        waitFor(_pid);
        _pid = -1;
        throw std::runtime_error("setxkbmap failed:\n" + readWhole(_files.file("setxkbmap.out")));
    }
}

KeyboardXServer::~KeyboardXServer()
{
    if (_pid > 0) {
        kill(_pid, SIGTERM);
        waitFor(_pid);
    }
}

void KeyboardXServer::lockGroup(int group) const
{
    const std::unique_ptr<Display, DisplayCloser> display(XOpenDisplay(_display.c_str()));
    if (!display) {
        throw std::runtime_error("cannot connect to Xvfb at " + _display);
    }
    int opcode = 0;
    int event = 0;
    int error = 0;
    int major = XkbMajorVersion;
    int minor = XkbMinorVersion;
    if (!XkbQueryExtension(display.get(), &opcode, &event, &error, &major, &minor)) {
        throw std::runtime_error("Xvfb at " + _display + " has no keyboard extension");
    }
    if (!XkbLockGroup(display.get(), XkbUseCoreKbd, static_cast<unsigned int>(group))) {
        throw std::runtime_error("XkbLockGroup failed");
    }
    // Requests of one connection are handled in order: once the state comes
    // back, the lock is in place.
    XkbStateRec state{};
    if (XkbGetState(display.get(), XkbUseCoreKbd, &state) != Success || state.group != group) {
        throw std::runtime_error("the keyboard group did not change to " + std::to_string(group));
    }
}

std::string KeyboardXServer::output() const
{
    return readWhole(_files.file("xvfb.out"));
}

}  // namespace TestSupport
