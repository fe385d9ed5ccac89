// Logical disks end to end: the built shared library, driven through its
// exported entry points with an Initialise naming "LogicalDisk", reads its
// partitions through libudev from a umockdev testbed in this process (the
// preload library reaches the loaded library's libudev calls too) and a
// private mount namespace. Plugging in a stick and mounting it reach the
// host as update messages without waiting for the check interval.
// Run through tests/support/disk-testbed-run.sh.
#include "support/DiskTestbed.h"
#include "support/Json.h"
#include "support/LoadedLibrary.h"
#include "support/LogWatch.h"
#include "support/MainLoop.h"
#include "support/MountNamespace.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <chrono>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <thread>

using namespace std::chrono_literals;
using TestSupport::CapturingChannel;
using TestSupport::waitUntil;
using TestSupport::LogWatch;
using TestSupport::ScopedDeviceMount;
using TestSupport::ScopedEnv;
namespace Disks = TestSupport::Disks;

namespace {

struct Message {
    std::string id;
    std::map<std::string, std::string> updated;
    std::set<std::string> removed;
};

Message parse(const std::string& text)
{
    const rapidjson::Document document = TestSupport::parseJson(text);
    Message message;
    if (!document.IsObject() || !document.HasMember("data")) {
        return message;  // the failure is already reported
    }
    message.id = document["id"].GetString();
    for (const auto& pair : document["data"]["updated"].GetArray()) {
        message.updated.emplace(pair[0].GetString(), pair[1].GetString());
    }
    for (const auto& key : document["data"]["removed"].GetArray()) {
        message.removed.emplace(key.GetString());
    }
    return message;
}

using Clock = std::chrono::steady_clock;

// Times the next message: a thread of its own wakes with the channel's write,
// whichever thread writes it (the check may run on the monitor thread itself
// when the main context is free at that moment).
class MessageTimer {
public:
    MessageTimer(CapturingChannel& channel, const char* what)
        : _what(what), _started(Clock::now()), _waiter([this, &channel, index = channel.count()] {
              if (channel.waitForCount(index + 1, 10s)) {
                  _arrived = Clock::now();
              }
          })
    {
    }
    ~MessageTimer()
    {
        if (_waiter.joinable()) {
            _waiter.join();
        }
    }
    MessageTimer(const MessageTimer&) = delete;
    MessageTimer& operator=(const MessageTimer&) = delete;

    // Waits for the message, iterating the main context as the hosting client does.
    Message wait(CapturingChannel& channel, std::size_t index)
    {
        EXPECT_TRUE(waitUntil([&] { return channel.count() > index; }, 10s)) << "no message after " << _what;
        _waiter.join();
        if (_arrived) {
            std::cout << "message after " << _what << " written "
                      << std::chrono::duration_cast<std::chrono::microseconds>(*_arrived - _started).count()
                      << " us later" << std::endl;
        }
        return parse(channel.message(index));
    }

private:
    const char* _what;
    Clock::time_point _started;
    std::optional<Clock::time_point> _arrived;
    std::thread _waiter;
};

std::string initialise()
{
    // A long interval: every update within the test comes from the monitor.
    return R"({"id":"Initialize","data":{"propertyCheckInterval":600000,"softwareVersion":"20.1.0.0",)"
           R"("properties":[{"name":"LogicalDisk","status":2}]}})";
}

class LogicalDiskEntryPoints : public TestSupport::DiskTest {};

}  // namespace

TEST_F(LogicalDiskEntryPoints, PlugMountUnmountAndPullReachTheHostAtOnce)
{
    testbed.add(Disks::kSataDisk);
    const std::string data = directory("data");
    const std::string stick = directory("stick");
    ScopedDeviceMount dataMount("/dev/sda2", data, "32m");
    const ScopedEnv dumping("CORVANE_LOGGING_DISKS", "true");

    CapturingChannel channel;
    channel.connect();
    const LogWatch log;
    MessageTimer initialTimer(channel, "Initialise");
    channel.send(initialise());
    const Message initial = initialTimer.wait(channel, 0);
    EXPECT_EQ(initial.id, "initializeDeviceProperties");
    EXPECT_EQ(initial.updated.at("DEVICE_LOGICALDISK_COUNT"), "1");
    EXPECT_EQ(initial.updated.at("DEVICE_LOGICALDISK_0_PATH"), data);
    EXPECT_EQ(initial.updated.at("DEVICE_LOGICALDISK_0_TOTALMB"), "32");
    EXPECT_EQ(initial.updated.at("DEVICE_LOGICALDISK_0_BUSTYPE"), "ATA");
    EXPECT_TRUE(log.contains("INFO - Dumping partition /dev/sda2: "));
    EXPECT_TRUE(log.contains("INFO - partition:prop> DEVNAME=/dev/sda2"));
    EXPECT_TRUE(log.contains("INFO - pci:attr> subsystem_vendor=0x17aa"));

    // The stick is plugged in: it sorts before the SATA disk and takes index 0.
    testbed.add(Disks::kUsbStick);
    MessageTimer addTimer(channel, "a udev add event");
    testbed.uevent(Disks::kUsbStickPartition, "add");
    Message update = addTimer.wait(channel, 1);
    EXPECT_EQ(update.id, "updateDeviceProperties");
    EXPECT_EQ(update.updated.at("DEVICE_LOGICALDISK_COUNT"), "2");
    EXPECT_EQ(update.updated.at("DEVICE_LOGICALDISK_0_TYPE"), "Removable");
    EXPECT_EQ(update.updated.at("DEVICE_LOGICALDISK_0_LABEL"), "MY STICK");
    EXPECT_EQ(update.updated.at("DEVICE_LOGICALDISK_0_PATH"), "");
    EXPECT_EQ(update.updated.at("DEVICE_LOGICALDISK_0_TOTALMB"), "Unavailable");
    EXPECT_EQ(update.updated.at("DEVICE_LOGICALDISK_1_PATH"), data);
    EXPECT_TRUE(update.removed.empty());
    EXPECT_TRUE(log.contains("INFO - Provider [LogicalDisk] initiated a real-time property change. Scheduling a "
                             "refresh..."));

    // It is mounted.
    MessageTimer mountTimer(channel, "a mount");
    auto stickMount = std::make_optional<ScopedDeviceMount>("/dev/sdb1", stick);
    update = mountTimer.wait(channel, 2);
    EXPECT_EQ(update.updated, (std::map<std::string, std::string>{
                                  {"DEVICE_LOGICALDISK_0_PATH", stick},
                                  {"DEVICE_LOGICALDISK_0_TOTALMB", "64"},
                                  {"DEVICE_LOGICALDISK_0_FREEMB", "64"},
                              }));
    EXPECT_TRUE(update.removed.empty());

    // Unmounted.
    MessageTimer unmountTimer(channel, "an unmount");
    stickMount.reset();
    update = unmountTimer.wait(channel, 3);
    EXPECT_EQ(update.updated, (std::map<std::string, std::string>{
                                  {"DEVICE_LOGICALDISK_0_PATH", ""},
                                  {"DEVICE_LOGICALDISK_0_TOTALMB", "Unavailable"},
                                  {"DEVICE_LOGICALDISK_0_FREEMB", "Unavailable"},
                              }));

    // Pulled out: the SATA partition moves back to index 0, index 1 goes.
    MessageTimer removeTimer(channel, "a udev remove event");
    testbed.uevent(Disks::kUsbStickPartition, "remove");
    testbed.remove(Disks::kUsbStickPartition);
    // udev sends "remove" only once the device is gone from sysfs; umockdev
    // cannot send an event for a device it no longer has, so here the event
    // comes first and the check it starts may still find the stick. Should no
    // update follow, a "change" of the other disk's partition starts the check
    // that udev's order would have started.
    if (!waitUntil([&] { return channel.count() > 4; }, 2s)) {
        testbed.uevent(Disks::kSataPartition, "change");
    }
    update = removeTimer.wait(channel, 4);
    EXPECT_EQ(update.updated.at("DEVICE_LOGICALDISK_COUNT"), "1");
    EXPECT_EQ(update.updated.at("DEVICE_LOGICALDISK_0_PATH"), data);
    EXPECT_EQ(update.removed.count("DEVICE_LOGICALDISK_1_PATH"), 1U);
    EXPECT_EQ(update.removed.size(), 11U);

    const auto started = std::chrono::steady_clock::now();
    channel.disconnect();
    std::cout << "ClientDisconnected with the disk monitor took "
              << std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started)
                     .count()
              << " us" << std::endl;
    EXPECT_TRUE(waitUntil([&] { return log.contains("VERBOSE - Done shutting down logical disk monitor thread."); }));
    EXPECT_EQ(channel.writesAfterClose, 0);
}
