// The logical-disk provider through the real libudev against a umockdev
// testbed, with partitions mounted (tmpfs carrying the partition's device
// name) in the test process's own mount namespace. Run through
// tests/support/disk-testbed-run.sh.
#include "providers/disk/LogicalDiskProvider.h"

#include "support/Categories.h"
#include "support/DiskTestbed.h"
#include "support/LogWatch.h"
#include "support/MountNamespace.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <iostream>
#include <mutex>
#include <optional>
#include <thread>

using namespace std::chrono_literals;
using TestSupport::LogWatch;
using TestSupport::ScopedDeviceMount;
using TestSupport::ScopedEnv;
namespace Disks = TestSupport::Disks;

namespace {

PropertyMap read(int32_t status = 2, int32_t filter = 0)
{
    return TestSupport::readProvider<LogicalDiskProvider>("LogicalDisk", status, filter);
}

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout = 10s)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

void printSince(const char* what, std::chrono::steady_clock::time_point started)
{
    std::cout << "notification after " << what << " in "
              << std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started)
                     .count()
              << " us" << std::endl;
}

// Counts the provider's change notifications.
class Notifications {
public:
    LogicalDiskProvider::ChangeCallback callback()
    {
        return [this](std::shared_ptr<Category const> category) {
            std::lock_guard<std::mutex> lock(_mutex);
            _names.push_back(category->name);
            _arrived.notify_all();
        };
    }
    std::size_t count() const
    {
        std::lock_guard<std::mutex> lock(_mutex);
        return _names.size();
    }
    // Waits until more than `seen` notifications arrived.
    bool waitBeyond(std::size_t seen, std::chrono::milliseconds timeout = 10s)
    {
        std::unique_lock<std::mutex> lock(_mutex);
        return _arrived.wait_for(lock, timeout, [&] { return _names.size() > seen; });
    }
    std::vector<std::string> names() const
    {
        std::lock_guard<std::mutex> lock(_mutex);
        return _names;
    }

private:
    mutable std::mutex _mutex;
    std::condition_variable _arrived;
    std::vector<std::string> _names;
};

class LogicalDiskProviderTest : public TestSupport::DiskTest {};

}  // namespace

TEST_F(LogicalDiskProviderTest, ReportsMountedAndUsbPartitions)
{
    testbed.add(Disks::kUsbStick);
    testbed.add(Disks::kBareUsbStick);
    testbed.add(Disks::kSataDisk);
    testbed.add(Disks::kNvmeDisk);
    // NVMe controllers pad their model with blanks.
    testbed.setAttribute(Disks::kNvmeController, "model", "Samsung SSD 980 1TB     \n");
    testbed.add(Disks::kEmmcDisk);
    const std::string stick = directory("MY STICK");
    const std::string second = directory("second");
    const std::string data = directory("data");
    const std::string root = directory("root");
    const std::string system = directory("system");
    ScopedDeviceMount stickMount("/dev/sdb1", stick);
    ScopedDeviceMount secondMount("/dev/sdb1", second, "16m");
    ScopedDeviceMount dataMount("/dev/sda2", data, "32m");
    ScopedDeviceMount rootMount("/dev/nvme0n1p1", root);
    ScopedDeviceMount systemMount("/dev/mmcblk0p1", system);
    // 2 MiB used on the stick: the free space is counted from the first mount.
    std::ofstream(stick + "/file", std::ios::binary) << std::string(2 * 1024 * 1024, 'x');

    const LogWatch log;
    const PropertyMap properties = read();
    // In udev's order: the two USB sticks, the SATA partitions (sda1 is not
    // mounted and takes no index), NVMe, eMMC (not supported).
    const PropertyMap expected = {
        {"DEVICE_LOGICALDISK_0_TYPE", "Removable"},
        {"DEVICE_LOGICALDISK_0_LABEL", "MY STICK"},
        {"DEVICE_LOGICALDISK_0_FILESYSTEM", "FAT32"},
        {"DEVICE_LOGICALDISK_0_PATH", stick + ";" + second},
        {"DEVICE_LOGICALDISK_0_TOTALMB", "64"},
        {"DEVICE_LOGICALDISK_0_FREEMB", "62"},
        {"DEVICE_LOGICALDISK_0_NAME", "SanDisk Cruzer Blade"},
        {"DEVICE_LOGICALDISK_0_VENDOR_ID", "0x0781"},
        {"DEVICE_LOGICALDISK_0_PRODUCT_ID", "0x5567"},
        {"DEVICE_LOGICALDISK_0_SERIALNUMBER", "4C530001"},
        {"DEVICE_LOGICALDISK_0_BUSTYPE", "USB"},

        {"DEVICE_LOGICALDISK_1_TYPE", "Removable"},
        {"DEVICE_LOGICALDISK_1_LABEL", ""},
        {"DEVICE_LOGICALDISK_1_FILESYSTEM", "exfat"},
        {"DEVICE_LOGICALDISK_1_PATH", ""},
        {"DEVICE_LOGICALDISK_1_TOTALMB", "Unavailable"},
        {"DEVICE_LOGICALDISK_1_FREEMB", "Unavailable"},
        {"DEVICE_LOGICALDISK_1_NAME", "Unavailable"},
        {"DEVICE_LOGICALDISK_1_VENDOR_ID", "0x090c"},
        {"DEVICE_LOGICALDISK_1_PRODUCT_ID", "Unavailable"},
        {"DEVICE_LOGICALDISK_1_SERIALNUMBER", "Unavailable"},
        {"DEVICE_LOGICALDISK_1_BUSTYPE", "USB"},

        {"DEVICE_LOGICALDISK_2_TYPE", "Fixed"},
        {"DEVICE_LOGICALDISK_2_LABEL", "data"},
        {"DEVICE_LOGICALDISK_2_FILESYSTEM", "ext4"},
        {"DEVICE_LOGICALDISK_2_PATH", data},
        {"DEVICE_LOGICALDISK_2_TOTALMB", "32"},
        {"DEVICE_LOGICALDISK_2_FREEMB", "32"},
        {"DEVICE_LOGICALDISK_2_NAME", "INTEL SSDSC2KB480G8"},
        {"DEVICE_LOGICALDISK_2_VENDOR_ID", "0x17aa"},
        {"DEVICE_LOGICALDISK_2_PRODUCT_ID", "0x2292"},
        {"DEVICE_LOGICALDISK_2_SERIALNUMBER", "INTEL_SSDSC2KB480G8_BTYF0123"},
        {"DEVICE_LOGICALDISK_2_BUSTYPE", "ATA"},

        {"DEVICE_LOGICALDISK_3_TYPE", "Fixed"},
        {"DEVICE_LOGICALDISK_3_LABEL", "root"},
        {"DEVICE_LOGICALDISK_3_FILESYSTEM", "ext4"},
        {"DEVICE_LOGICALDISK_3_PATH", root},
        {"DEVICE_LOGICALDISK_3_TOTALMB", "64"},
        {"DEVICE_LOGICALDISK_3_FREEMB", "64"},
        {"DEVICE_LOGICALDISK_3_NAME", "Samsung SSD 980 1TB"},
        {"DEVICE_LOGICALDISK_3_VENDOR_ID", "0x144d"},
        {"DEVICE_LOGICALDISK_3_PRODUCT_ID", "0xa801"},
        {"DEVICE_LOGICALDISK_3_SERIALNUMBER", "S64ANS0T"},
        {"DEVICE_LOGICALDISK_3_BUSTYPE", "NVMe"},

        {"DEVICE_LOGICALDISK_COUNT", "4"},
    };
    EXPECT_EQ(properties, expected);

    EXPECT_TRUE(log.contains("INFO - Found mount [/dev/sdb1] -> [" + stick + "]")) << log.text();
    EXPECT_TRUE(log.contains("INFO - Found mount point [" + second + "] for partition [/dev/sdb1]"));
    EXPECT_TRUE(log.contains("INFO - Found mount [" + stick + "] totalMb [64] freeMb [62]"));
    EXPECT_TRUE(log.contains("INFO - Partition [/dev/sda1] had no mount points"));
    EXPECT_TRUE(log.contains("INFO - Ignoring unknown partition device with major [179]"));
    EXPECT_TRUE(log.contains("INFO - Partition [/dev/mmcblk0p1] had mount points [" + system +
                             "] but was unsupported"));
    EXPECT_TRUE(log.contains("getMountPoints : INFO - Found mount"));
    EXPECT_TRUE(log.contains("getProperties : VERBOSE - Getting LOGICALDISK properties..."));
    EXPECT_TRUE(log.contains("getProperties : VERBOSE - Done getting LOGICALDISK properties."));
    EXPECT_FALSE(log.contains(":prop> "));
}

TEST_F(LogicalDiskProviderTest, KeySelection)
{
    testbed.add(Disks::kUsbStick);
    testbed.add(Disks::kSataDisk);
    const std::string stick = directory("stick");
    ScopedDeviceMount stickMount("/dev/sdb1", stick);

    {
        // Paths and the count only: no file system is asked for its size.
        const LogWatch log;
        EXPECT_EQ(read(1, 0x0001 | 0x0080 | 0x0008 | 0x0010 | 0x0040),
                  (PropertyMap{{"DEVICE_LOGICALDISK_0_PATH", stick}, {"DEVICE_LOGICALDISK_COUNT", "1"}}));
        EXPECT_FALSE(log.contains("totalMb"));
    }
    EXPECT_EQ(read(1, 0x0200 | 0x4000),
              (PropertyMap{{"DEVICE_LOGICALDISK_0_FREEMB", "64"}, {"DEVICE_LOGICALDISK_0_BUSTYPE", "USB"}}));
    EXPECT_TRUE(read(1, 0).empty());
    EXPECT_TRUE(read(0, -1).empty());
}

TEST_F(LogicalDiskProviderTest, NothingToReport)
{
    // No partitions at all, then only partitions that are neither mounted nor on USB.
    EXPECT_EQ(read(), (PropertyMap{{"DEVICE_LOGICALDISK_COUNT", "0"}}));
    testbed.add(Disks::kSataDisk);
    EXPECT_EQ(read(), (PropertyMap{{"DEVICE_LOGICALDISK_COUNT", "0"}}));
}

TEST_F(LogicalDiskProviderTest, DevicesAreDumpedOnlyWhenAskedExactly)
{
    testbed.add(Disks::kUsbStick);
    testbed.add(Disks::kNvmeDisk);
    ScopedDeviceMount rootMount("/dev/nvme0n1p1", directory("root"));
    {
        const ScopedEnv dumping("CORVANE_LOGGING_DISKS", "TRUE");
        const LogWatch log;
        read();
        EXPECT_FALSE(log.contains(":prop> "));
        EXPECT_FALSE(log.contains(":attr> "));
    }
    const ScopedEnv dumping("CORVANE_LOGGING_DISKS", "true");
    const LogWatch log;
    EXPECT_EQ(read(1, 0x0001).at("DEVICE_LOGICALDISK_COUNT"), "2");
    const std::string text = log.text();
    EXPECT_NE(text.find("getProperties : INFO - Dumping partition /dev/sdb1: \n"), std::string::npos) << text;
    EXPECT_NE(text.find("dumpDevice : INFO - partition:prop> DEVNAME=/dev/sdb1\n"), std::string::npos);
    EXPECT_NE(text.find("INFO - partition:prop> ID_FS_LABEL_ENC=MY\\x20STICK\n"), std::string::npos);
    EXPECT_NE(text.find("INFO - partition:attr> size=30031872\n"), std::string::npos);
    // A value of several lines stays on its own line.
    EXPECT_NE(text.find("INFO - partition:attr> uevent=SUBSYSTEM=block\\x0aDEVTYPE=partition\\x0a"),
              std::string::npos);
    EXPECT_NE(text.find("INFO - usb:prop> DEVTYPE=usb_device\n"), std::string::npos);
    EXPECT_NE(text.find("INFO - usb:attr> idVendor=0781\n"), std::string::npos);
    EXPECT_NE(text.find("INFO - scsi:attr> vendor=SanDisk\n"), std::string::npos);
    EXPECT_NE(text.find("INFO - pci:attr> subsystem_vendor=0x17aa\n"), std::string::npos);
    EXPECT_NE(text.find("INFO - Dumping partition /dev/nvme0n1p1: "), std::string::npos);
    EXPECT_NE(text.find("INFO - nvme:prop> SUBSYSTEM=nvme\n"), std::string::npos);
    EXPECT_NE(text.find("INFO - pci:attr> subsystem_device=0xa801\n"), std::string::npos);
    // The stick has no NVMe controller, the NVMe disk no USB device.
    EXPECT_EQ(log.count("INFO - nvme:prop> SUBSYSTEM=nvme"), 1U);
    EXPECT_EQ(log.count("INFO - usb:prop> DEVTYPE=usb_device"), 1U);
}

TEST_F(LogicalDiskProviderTest, WithoutMountTableNothingIsReportedAndUdevIsStillWatched)
{
    testbed.add(Disks::kUsbStick);
    Notifications notifications;
    std::optional<LogicalDiskProvider> provider;
    {
        // /proc/self/mounts is missing under an empty /proc.
        const TestSupport::ScopedTmpfs noProc("/proc");
        const LogWatch log;
        EXPECT_EQ(read(), (PropertyMap{{"DEVICE_LOGICALDISK_COUNT", "0"}}));
        EXPECT_TRUE(log.contains("ERROR - Failed to find mount points error [No such file or directory]"));
        provider.emplace(TestSupport::category("LogicalDisk"), "20.1");
        provider->monitorForChanges(notifications.callback());
        EXPECT_TRUE(log.contains(
            "ERROR - Failed to open /proc/self/mounts file handle for logical disk monitoring"));
        EXPECT_TRUE(log.contains("VERBOSE - Successfully opened udev block partition monitor"));
    }
    testbed.uevent(Disks::kUsbStickPartition, "change");
    ASSERT_TRUE(notifications.waitBeyond(0));
    provider->close();
}

TEST_F(LogicalDiskProviderTest, MonitorReportsPartitionsAndMountsComingAndGoing)
{
    testbed.add(Disks::kSataDisk);
    Notifications notifications;
    const LogWatch log;
    LogicalDiskProvider provider(TestSupport::category("LogicalDisk"), "20.1");
    provider.monitorForChanges(notifications.callback());
    EXPECT_TRUE(log.contains("VERBOSE - Successfully opened /proc/self/mounts file handle for logical disk "
                             "monitoring"));
    EXPECT_TRUE(log.contains("VERBOSE - Successfully opened udev block partition monitor"));
    // Only one thread: a second request is ignored.
    provider.monitorForChanges(notifications.callback());
    EXPECT_TRUE(log.contains("Ignoring request to monitor logical disks since already monitoring"));

    // The stick is plugged in.
    std::size_t seen = notifications.count();
    testbed.add(Disks::kUsbStick);
    auto started = std::chrono::steady_clock::now();
    testbed.uevent(Disks::kUsbStickPartition, "add");
    ASSERT_TRUE(notifications.waitBeyond(seen));
    printSince("a udev add event", started);
    EXPECT_EQ(read().at("DEVICE_LOGICALDISK_COUNT"), "1");
    EXPECT_TRUE(log.contains("VERBOSE - Detected changes to device [/dev/sdb1]"));
    EXPECT_TRUE(log.contains("INFO - Detected changes to logical disks. Triggering property change."));

    // It is mounted, then unmounted.
    seen = notifications.count();
    const std::string stickDirectory = directory("stick");
    started = std::chrono::steady_clock::now();
    auto mount = std::make_optional<ScopedDeviceMount>("/dev/sdb1", stickDirectory);
    ASSERT_TRUE(notifications.waitBeyond(seen));
    printSince("a mount", started);
    EXPECT_EQ(read(1, 0x0080).at("DEVICE_LOGICALDISK_0_PATH"), _dir.file("stick"));
    seen = notifications.count();
    mount.reset();
    ASSERT_TRUE(notifications.waitBeyond(seen));

    // A mount of something else is a change of the mount table as well.
    seen = notifications.count();
    ScopedDeviceMount other("elsewhere", directory("other"));
    ASSERT_TRUE(notifications.waitBeyond(seen));

    // The stick is pulled out.
    seen = notifications.count();
    testbed.uevent(Disks::kUsbStickPartition, "remove");
    testbed.remove(Disks::kUsbStickPartition);
    ASSERT_TRUE(notifications.waitBeyond(seen));
    EXPECT_EQ(read().at("DEVICE_LOGICALDISK_COUNT"), "0");

    for (const std::string& name : notifications.names()) {
        EXPECT_EQ(name, "LogicalDisk");
    }

    started = std::chrono::steady_clock::now();
    provider.close();
    const auto took = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started);
    std::cout << "close() took " << took.count() << " us" << std::endl;
    EXPECT_TRUE(log.contains("VERBOSE - Shutting down logical disk monitor thread..."));
    EXPECT_TRUE(log.contains("VERBOSE - Successfully sent close signal to Logical Disk monitor thread ["));
    EXPECT_TRUE(log.contains("VERBOSE - Closed Logical Disk monitor"));
    EXPECT_TRUE(log.contains("VERBOSE - Closed Logical Disk udev monitor"));
    EXPECT_TRUE(log.contains("VERBOSE - Closed Logical Disk udev"));
    EXPECT_TRUE(log.contains("VERBOSE - Done shutting down logical disk monitor thread."));

    // Nothing is reported after close, and closing again does nothing.
    seen = notifications.count();
    ScopedDeviceMount late("late", directory("late"));
    testbed.add(Disks::kBareUsbStick);
    testbed.uevent(Disks::kBareUsbStickPartition, "add");
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(notifications.count(), seen);
    const LogWatch again;
    provider.close();
    EXPECT_FALSE(again.contains("Shutting down logical disk monitor thread"));
}

TEST_F(LogicalDiskProviderTest, ClosingWithoutMonitoringAndDestroyingWhileMonitoring)
{
    {
        LogicalDiskProvider idle(TestSupport::category("LogicalDisk"), "20.1");
        const LogWatch log;
        idle.close();
        EXPECT_FALSE(log.contains("Shutting down logical disk monitor thread"));
    }
    Notifications notifications;
    const LogWatch log;
    {
        LogicalDiskProvider provider(TestSupport::category("LogicalDisk"), "20.1");
        provider.monitorForChanges(notifications.callback());
    }
    EXPECT_TRUE(log.contains("VERBOSE - Done shutting down logical disk monitor thread."));
}

TEST_F(LogicalDiskProviderTest, ThrowingCallbackKeepsTheMonitorRunning)
{
    std::atomic<int> calls{0};
    LogicalDiskProvider provider(TestSupport::category("LogicalDisk"), "20.1");
    const LogWatch log;
    provider.monitorForChanges([&calls](std::shared_ptr<Category const>) {
        ++calls;
        throw std::runtime_error("engine gone");
    });
    ScopedDeviceMount first("first", directory("first"));
    // The error is logged once the callback has thrown.
    ASSERT_TRUE(
        waitFor([&] { return log.contains("ERROR - Failed to report logical disk changes error [engine gone]"); }));
    const int before = calls;
    ScopedDeviceMount second("second", directory("second"));
    ASSERT_TRUE(waitFor([&] { return calls > before; }));
    provider.close();
}
