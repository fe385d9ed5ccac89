// Remote control, and the process lists it compares, against real processes: copies of sleep named as VNC servers.
#include "providers/user/RemoteControlProvider.h"

#include "providers/user/Processes.h"
#include "support/Categories.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <filesystem>
#include <map>

using Ids = std::vector<int>;

TEST(Processes, SetOperationsOnSortedListsAndRealProcesses)
{
    const Ids cases[][4] = {  // previous, current, created, destroyed
        {{}, {}, {}, {}}, {{}, {1, 2}, {1, 2}, {}}, {{1, 2}, {}, {}, {1, 2}},
        {{1, 3, 5, 7}, {2, 3, 6, 7, 9}, {2, 6, 9}, {1, 5}}};
    for (const auto& [previous, current, created, destroyed] : cases) {
        Ids made[2];
        Processes::createdFromSorted(previous, current, made[0]);
        Processes::destroyedFromSorted(previous, current, made[1]);
        EXPECT_EQ(made[0], created) << ::testing::PrintToString(current);
        EXPECT_EQ(made[1], destroyed) << ::testing::PrintToString(current);
    }
    Ids ids{30, 4, 1000, 2};
    Processes::sort(ids);
    EXPECT_TRUE(Processes::eraseFromSorted(30, ids));
    EXPECT_FALSE(Processes::eraseFromSorted(30, ids));
    EXPECT_EQ(ids, (Ids{2, 4, 1000}));

    ids = Processes::enumerate().value_or(Ids{});
    EXPECT_NE(std::find(ids.begin(), ids.end(), getpid()), ids.end());
    // The kernel's name (of the executable's file, or as the process set it) up to its first blank.
    char own[16] = {};
    ASSERT_EQ(prctl(PR_GET_NAME, own), 0);
    EXPECT_EQ(Processes::name(getpid()), own);
    ASSERT_EQ(prctl(PR_SET_NAME, "two words"), 0);
    const std::optional<std::string> named = Processes::name(getpid());
    prctl(PR_SET_NAME, own);
    EXPECT_EQ(named, "two");
    EXPECT_FALSE(Processes::name(1 << 30));  // above any pid_max
}

TEST(RemoteControlProvider, FollowsVncServersBetweenReadings)
{
    const auto read = [](int32_t filter) {
        return TestSupport::readProvider<RemoteControlProvider>("RemoteControl", 1, filter);
    };
    EXPECT_TRUE(TestSupport::readProvider<RemoteControlProvider>("RemoteControl", 0, 0xFF).empty());
    EXPECT_TRUE(read(0x04 | 0x08).empty());
    // Every VNC server on the machine counts: runs of this test, other builds' too, take turns through a lock.
    const int lock = open(std::filesystem::temp_directory_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_EQ(flock(lock, LOCK_EX), 0);
    RemoteControlProvider provider(TestSupport::category("RemoteControl"), "20.1");
    if (provider.isRemoteControlled()) {
        close(lock);
        GTEST_SKIP() << "a VNC server runs on this machine";
    }
    // Copies of sleep named as a viewer and as servers (a process is named after its executable's file), each
    // running once posix_spawn returns.
    const TestSupport::TempDir dir;
    std::map<std::string, pid_t> running;
    const auto start = [&](const std::string& name) {
        std::filesystem::copy_file("/bin/sleep", dir.file(name), std::filesystem::copy_options::skip_existing);
        char* argv[] = {const_cast<char*>(name.c_str()), const_cast<char*>("600"), nullptr};
        EXPECT_EQ(posix_spawn(&running[name], dir.file(name).c_str(), nullptr, nullptr, argv, environ), 0);
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
