// SPDX-License-Identifier: Apache-2.0
// Remote control against real processes: copies of sleep named as VNC servers.
#include "providers/user/RemoteControlProvider.h"

#include "support/Categories.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>

TEST(RemoteControlProvider, FollowsVncServersBetweenReadings)
{
    const auto read = [](int32_t filter) {
        return TestSupport::readProvider<RemoteControlProvider>("RemoteControl", 1, filter);
    };
    EXPECT_TRUE(read(0x04 | 0x08).empty());
    // Every VNC server on the machine counts: runs of this test, other builds' too, take turns through a lock.
    const int lock = open(std::filesystem::temp_directory_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_EQ(flock(lock, LOCK_EX), 0);
    RemoteControlProvider provider(TestSupport::category("RemoteControl"), "20.1");
    if (provider.isRemoteControlled()) {
        close(lock);
        GTEST_SKIP() << "a VNC server runs on this machine";
    }
    // Copies of sleep named as a viewer and as servers (a process is named after its executable's file). The
    // kernel renames a child only after posix_spawn has returned, so each start waits for the new name.
    const TestSupport::TempDir dir;
    std::map<std::string, pid_t> running;
    const auto start = [&](const std::string& name) {
        std::filesystem::copy_file("/bin/sleep", dir.file(name), std::filesystem::copy_options::skip_existing);
        char* argv[] = {const_cast<char*>(name.c_str()), const_cast<char*>("600"), nullptr};
        ASSERT_EQ(posix_spawn(&running[name], dir.file(name).c_str(), nullptr, nullptr, argv, environ), 0);
        const std::string comm = "/proc/" + std::to_string(running[name]) + "/comm";
        for (int tries = 0; tries < 2000 && TestSupport::readWhole(comm) != name.substr(0, 15) + "\n"; ++tries) {
            usleep(1000);
        }
    };
    const auto stop = [&](const std::string& name) {
        kill(running[name], SIGKILL);
        waitpid(running[name], nullptr, 0);
    };
    const PropertyMap inactive{{"DEVICE_REMOTECONTROL_ACTIVE", "false"}, {"DEVICE_REMOTECONTROL_PROTOCOL", ""}};
    const PropertyMap active{{"DEVICE_REMOTECONTROL_ACTIVE", "true"}, {"DEVICE_REMOTECONTROL_PROTOCOL", "VNC"}};
    const auto reading = [&] { return provider.getProperties().get(); };
    EXPECT_EQ(reading(), inactive);
    start("vncviewer");
    EXPECT_EQ(reading(), inactive);
    start("x11vnc");
    EXPECT_EQ(reading(), active);
    EXPECT_EQ(reading(), active);
    stop("x11vnc");
    EXPECT_EQ(reading(), inactive);
    // Two servers: active until the last ends. A provider made while they run finds them at its first reading.
    start("x11vnc");
    EXPECT_EQ(reading(), active);
    start("X11VNC-wrapper");
    EXPECT_EQ(read(0x02), (PropertyMap{{"DEVICE_REMOTECONTROL_PROTOCOL", "VNC"}}));
    stop("x11vnc");
    EXPECT_EQ(reading(), active);
    stop("X11VNC-wrapper");
    EXPECT_EQ(reading(), inactive);
    EXPECT_EQ(read(0x01), (PropertyMap{{"DEVICE_REMOTECONTROL_ACTIVE", "false"}}));
    stop("vncviewer");
    close(lock);
}
