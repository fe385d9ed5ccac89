#include "providers/user/RemoteControlProvider.h"

#include "support/Categories.h"
#include "support/LogWatch.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

using TestSupport::category;
using TestSupport::readProvider;
using TestSupport::TempDir;

namespace {

const PropertyMap kInactive{{"DEVICE_REMOTECONTROL_ACTIVE", "false"}, {"DEVICE_REMOTECONTROL_PROTOCOL", ""}};
const PropertyMap kActive{{"DEVICE_REMOTECONTROL_ACTIVE", "true"}, {"DEVICE_REMOTECONTROL_PROTOCOL", "VNC"}};

// A copy of a system program under `name`: the kernel names a process after
// the file name of its executable.
std::string install(const TempDir& dir, const std::string& source, const std::string& name)
{
    std::filesystem::copy_file(source, dir.file(name));
    return dir.file(name);
}

// A started program with one socket as its standard input and output; killed
// and waited for when the scope ends.
class Child {
public:
    explicit Child(const std::string& program, std::vector<std::string> arguments = {})
    {
        int ends[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
            throw std::runtime_error("socketpair failed");
        }
        _socket = ends[0];
        arguments.insert(arguments.begin(), std::filesystem::path(program).filename().string());
        std::vector<char*> argv;
        for (std::string& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, ends[1], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
        const int spawned = posix_spawn(&_pid, program.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(ends[1]);
        if (spawned != 0) {
            _pid = -1;
            stop();
            throw std::runtime_error("cannot start " + program);
        }
    }
    ~Child() { stop(); }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool send(const std::string& text)
    {
        return ::send(_socket, text.data(), text.size(), MSG_NOSIGNAL) == ssize_t(text.size());
    }
    std::string receive(std::size_t length)
    {
        std::string text(length, '\0');
        return recv(_socket, text.data(), length, MSG_WAITALL) == ssize_t(length) ? text : "";
    }
    // A copy of cat answers once it runs under its own name.
    bool echoes() { return send("ping\n") && receive(5) == "ping\n"; }

    void stop()
    {
        if (_socket >= 0) {
            close(_socket);
            _socket = -1;
        }
        if (_pid > 0) {
            kill(_pid, SIGKILL);
            while (waitpid(_pid, nullptr, 0) < 0 && errno == EINTR) {
            }
            _pid = -1;
        }
    }

private:
    pid_t _pid = -1;
    int _socket = -1;
};

// Every VNC server on the machine counts: ctest runs each test in a process of
// its own, several at once, and other builds' runs may overlap. The tests that
// start one take turns through a lock on the temporary directory.
struct OneVncTestAtATime {
    OneVncTestAtATime()
    {
        if (fd < 0 || flock(fd, LOCK_EX) != 0) {
            throw std::runtime_error("cannot lock the temporary directory");
        }
    }
    ~OneVncTestAtATime() { close(fd); }
    OneVncTestAtATime(const OneVncTestAtATime&) = delete;
    OneVncTestAtATime& operator=(const OneVncTestAtATime&) = delete;

    const int fd = open(std::filesystem::temp_directory_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
};

bool foreignServerRuns()
{
    return RemoteControlProvider(category("RemoteControl"), "20.1").isRemoteControlled();
}

PropertyMap read(RemoteControlProvider& provider)
{
    return provider.getProperties().get();
}

}  // namespace

TEST(RemoteControlProvider, FollowsVncServersBetweenReadings)
{
    const OneVncTestAtATime turn;
    if (foreignServerRuns()) {
        GTEST_SKIP() << "a VNC server runs on this machine";
    }
    TempDir dir;
    const std::string vnc = install(dir, "/bin/cat", "x11vnc");
    const std::string wrapper = install(dir, "/bin/cat", "X11VNC-wrapper");
    const std::string viewer = install(dir, "/bin/cat", "vncviewer");

    const TestSupport::LogWatch log;
    RemoteControlProvider provider(category("RemoteControl"), "20.1");
    EXPECT_EQ(read(provider), kInactive);
    EXPECT_TRUE(log.contains("VERBOSE - Getting REMOTECONTROL properties..."));
    EXPECT_TRUE(log.contains("VERBOSE - Done getting REMOTECONTROL properties."));
    {
        Child other(viewer);
        ASSERT_TRUE(other.echoes());
        EXPECT_EQ(read(provider), kInactive);
        Child server(vnc);
        ASSERT_TRUE(server.echoes());
        EXPECT_EQ(read(provider), kActive);
        EXPECT_EQ(read(provider), kActive);
        server.stop();
        EXPECT_EQ(read(provider), kInactive);
    }

    // Two servers: active until the last ends. A provider made while they run
    // finds them at its first reading.
    Child first(vnc);
    ASSERT_TRUE(first.echoes());
    EXPECT_EQ(read(provider), kActive);
    Child second(wrapper);
    ASSERT_TRUE(second.echoes());
    RemoteControlProvider recreated(category("RemoteControl"), "20.1");
    EXPECT_EQ(read(recreated), kActive);
    first.stop();
    EXPECT_EQ(read(provider), kActive);
    EXPECT_EQ(read(recreated), kActive);
    second.stop();
    EXPECT_EQ(read(provider), kInactive);
    EXPECT_EQ(read(recreated), kInactive);
}

TEST(RemoteControlProvider, ProcessesAreLookedAtOnlyForSelectedKeys)
{
    EXPECT_TRUE(readProvider<RemoteControlProvider>("RemoteControl", 0, 0xFF).empty());
    EXPECT_TRUE(readProvider<RemoteControlProvider>("RemoteControl", 1, 0x04 | 0x08).empty());

    const OneVncTestAtATime turn;
    if (foreignServerRuns()) {
        GTEST_SKIP() << "a VNC server runs on this machine";
    }
    TempDir dir;
    const std::string vnc = install(dir, "/bin/cat", "x11vnc");
    // A launcher that turns into the VNC server by exec, keeping its id.
    Child launcher(install(dir, "/bin/sh", "launcher"), {"-c", "echo ready; read go; exec \"$0\"", vnc});
    ASSERT_EQ(launcher.receive(6), "ready\n");

    // Had this reading looked at the processes, the launcher would be known
    // and, keeping its id, never looked at again.
    RemoteControlProvider provider(category("RemoteControl", 1, 0x04), "20.1");
    EXPECT_TRUE(read(provider).empty());
    ASSERT_TRUE(launcher.send("go\n"));
    ASSERT_TRUE(launcher.echoes());
    EXPECT_TRUE(provider.isRemoteControlled());

    EXPECT_EQ(readProvider<RemoteControlProvider>("RemoteControl", 1, 0x01),
              (PropertyMap{{"DEVICE_REMOTECONTROL_ACTIVE", "true"}}));
    EXPECT_EQ(readProvider<RemoteControlProvider>("RemoteControl", 1, 0x02),
              (PropertyMap{{"DEVICE_REMOTECONTROL_PROTOCOL", "VNC"}}));
    launcher.stop();
    EXPECT_EQ(readProvider<RemoteControlProvider>("RemoteControl", 1, 0x02),
              (PropertyMap{{"DEVICE_REMOTECONTROL_PROTOCOL", ""}}));
}
