#include "support/XServer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <stdexcept>

namespace TestSupport {

namespace {

constexpr const char* kXvfb = "/usr/bin/Xvfb";
constexpr const char* kXorg = "/usr/bin/Xorg";

// Xorg without input devices (it would otherwise take the machine's own) and
// with the dummy driver's outputs.
constexpr const char* kDummyConfiguration = R"(Section "ServerFlags"
    Option "AutoAddDevices" "false"
    Option "AutoEnableDevices" "false"
EndSection
Section "Device"
    Identifier "dummy"
    Driver "dummy"
    VideoRam 64000
EndSection
Section "Monitor"
    Identifier "monitor"
    HorizSync 5.0-1000.0
    VertRefresh 5.0-200.0
EndSection
Section "Screen"
    Identifier "screen"
    Device "dummy"
    Monitor "monitor"
    DefaultDepth 24
    SubSection "Display"
        Depth 24
        Modes "1024x768"
    EndSubSection
EndSection
)";

constexpr int kDisplayFd = 3;  // where the server writes its display number

void waitFor(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace

XServer::XServer(Kind kind)
{
    if (kind == Kind::VirtualFramebuffer) {
        start({kXvfb, "-displayfd", std::to_string(kDisplayFd), "-nolisten", "tcp", "-noreset", "-screen", "0",
               "1920x1080x24"});
    } else if (kind == Kind::VirtualFramebufferWithoutPhysicalSize) {
        start({kXvfb, "-displayfd", std::to_string(kDisplayFd), "-nolisten", "tcp", "-noreset", "-dpi", "1000000",
               "-screen", "0", "1920x1080x24"});
    } else {
        const std::string configuration = _files.write("xorg.conf", kDummyConfiguration);
        start({kXorg, "-config", configuration, "-displayfd", std::to_string(kDisplayFd), "-nolisten", "tcp",
               "-noreset", "-logfile", _files.file("xorg.log")});
    }
}

void XServer::start(std::vector<std::string> arguments)
{
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);

    int displayPipe[2];
    if (pipe2(displayPipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed for the X server");
    }
    const int outputFile = open(_files.file("server.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (outputFile < 0) {
        close(displayPipe[0]);
        close(displayPipe[1]);
        throw std::runtime_error("cannot open the X server's output file");
    }

    // The test process has threads: the child makes only system calls until
    // it runs the server.
    const pid_t parent = getpid();
    _pid = fork();
    if (_pid == 0) {
        if (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || getppid() != parent) {
            _exit(126);
        }
        if (dup2(displayPipe[1], kDisplayFd) < 0 || dup2(outputFile, STDOUT_FILENO) < 0 ||
            dup2(outputFile, STDERR_FILENO) < 0) {
            _exit(126);
        }
        close_range(kDisplayFd + 1, ~0U, 0);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(outputFile);
    close(displayPipe[1]);
    if (_pid < 0) {
        close(displayPipe[0]);
        throw std::runtime_error("fork failed for the X server");
    }

    // The server writes its display number once it accepts clients. The
    // bound only keeps a server that hangs from hanging the test.
    std::string number;
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (number.empty() || number.back() != '\n') {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(giveUp - std::chrono::steady_clock::now());
        pollfd readable{displayPipe[0], POLLIN, 0};
        if (left.count() <= 0 || poll(&readable, 1, static_cast<int>(left.count())) == 0) {
            close(displayPipe[0]);
            kill();
            throw std::runtime_error("the X server did not start:\n" + output());
        }
        std::array<char, 32> buffer{};
        const ssize_t length = read(displayPipe[0], buffer.data(), buffer.size());
        if (length < 0 && errno == EINTR) {
            continue;
        }
        if (length <= 0) {
            close(displayPipe[0]);
            waitFor(_pid);
            _pid = -1;
            throw std::runtime_error("the X server ended before accepting clients:\n" + output());
        }
        number.append(buffer.data(), static_cast<std::size_t>(length));
    }
    close(displayPipe[0]);
    number.pop_back();
    _display = ":" + number;
}

XServer::~XServer()
{
    if (_pid > 0) {
        ::kill(_pid, SIGTERM);
        waitFor(_pid);
    }
}

void XServer::kill()
{
    if (_pid > 0) {
        ::kill(_pid, SIGKILL);
        waitFor(_pid);
        _pid = -1;
        // What the server would have removed on a normal exit.
        if (_display.size() > 1) {
            const std::string number = _display.substr(1);
            unlink(("/tmp/.X" + number + "-lock").c_str());
            unlink(("/tmp/.X11-unix/X" + number).c_str());
        }
    }
}

std::string XServer::run(const std::string& command) const
{
    const std::string line = "DISPLAY=" + _display + " " + command + " 2>&1";
    FILE* pipe = popen(line.c_str(), "r");
    if (pipe == nullptr) {
        throw std::runtime_error("cannot run " + command);
    }
    std::string text;
    std::array<char, 4096> buffer{};
    std::size_t length = 0;
    while ((length = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) {
        text.append(buffer.data(), length);
    }
    const int status = pclose(pipe);
    if (status != 0) {
        throw std::runtime_error(command + " failed (wait status " + std::to_string(status) + "):\n" + text);
    }
    return text;
}

std::string XServer::output() const
{
    return readWhole(_files.file("server.out"));
}

}  // namespace TestSupport
