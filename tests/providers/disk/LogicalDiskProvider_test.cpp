// SPDX-License-Identifier: Apache-2.0
// The logical-disk provider through the real libudev against a umockdev testbed in this process, and tmpfs mounts named
// as partitions in its own mount namespace: run through tests/support/disk-testbed-run.sh.
#include "providers/disk/LogicalDiskProvider.h"

#include "support/Categories.h"
#include "support/LogWatch.h"
#include "support/MainLoop.h"
#include "support/MountNamespace.h"

#include <gtest/gtest.h>
#include <umockdev.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>

namespace {

// A tmpfs on the directory `path` (made here), mounted with `source` as its device name.
struct DeviceMount : TestSupport::ScopedMount {
    DeviceMount(const std::string& source, const std::string& path, const std::string& size = "64m")
        : ScopedMount(source, (std::filesystem::create_directories(path), path), "tmpfs", ("size=" + size).c_str()), path(path)
    {
    }
    const std::string path;
};

// A umockdev record: a device at `path` with `lines` ("E:" properties, "A:" attributes); or a partition, named as
// the last part of `path`, with its numbers and properties.
std::string device(const std::string& path, const std::string& lines)
{
    return "P: " + path + "\n" + lines + "\n";
}
std::string partition(const std::string& path, int major, int minor, const std::string& properties)
{
    const std::string name = path.substr(path.rfind('/') + 1);
    return device(path, "N: " + name + "\nE: SUBSYSTEM=block\nE: DEVTYPE=partition\nE: DEVNAME=/dev/" + name +
                            "\nE: MAJOR=" + std::to_string(major) + "\nE: MINOR=" + std::to_string(minor) + "\n" +
                            properties);
}

const std::string kPci = "/devices/pci0000:00/0000:00:";
const std::string kStickPartition = kPci + "14.0/usb1/1-1/1-1:1.0/host6/target6:0:0/6:0:0:0/block/sdb/sdb1";
const std::string kNvmeController = kPci + "1d.0/0000:3d:00.0/nvme/nvme0";
// A USB stick: /dev/sdb1, FAT32, labelled "MY STICK".
const std::string kStick =
    device(kPci + "14.0", "E: SUBSYSTEM=pci\nA: subsystem_vendor=0x17aa\nA: subsystem_device=0x2293\n") +
    device(kPci + "14.0/usb1/1-1", "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: idVendor=0781\nA: idProduct=5567\n") +
    partition(kStickPartition, 8, 17,
              "E: ID_BUS=usb\nE: ID_FS_TYPE=vfat\nE: ID_FS_VERSION=FAT32\nE: ID_FS_LABEL=MY_STICK\n"
              "E: ID_FS_LABEL_ENC=MY\\x20STICK\nE: ID_VENDOR_ENC=SanDisk\\x20\nE: ID_MODEL=Cruzer_Blade\n"
              "E: ID_MODEL_ENC=Cruzer\\x20Blade\\x20\\x20\nE: ID_SERIAL=SanDisk_4C53-0:0\nE: ID_SERIAL_SHORT=4C53\n");
// An internal SATA disk, /dev/sda1 and /dev/sda2; an NVMe disk, /dev/nvme0n1p1 on controller nvme0; an eMMC card
// of major 179, /dev/mmcblk0p1.
const std::string kFixed =
    device(kPci + "17.0", "E: SUBSYSTEM=pci\nA: subsystem_vendor=0x17aa\nA: subsystem_device=0x2292\n") +
    partition(kPci + "17.0/ata1/host0/target0:0:0/0:0:0:0/block/sda/sda1", 8, 1, "E: ID_BUS=ata\nE: ID_FS_TYPE=ext4\n") +
    partition(kPci + "17.0/ata1/host0/target0:0:0/0:0:0:0/block/sda/sda2", 8, 2, "E: ID_BUS=ata\nE: ID_FS_TYPE=ext4\n"
              "E: ID_FS_LABEL=data\nE: ID_MODEL_ENC=INTEL\\x20SSD\nE: ID_SERIAL=BTYF0\n") +
    device(kPci + "1d.0/0000:3d:00.0", "E: SUBSYSTEM=pci\nA: subsystem_vendor=0x144d\nA: subsystem_device=0xa801\n") +
    device(kNvmeController, "E: SUBSYSTEM=nvme\n") +
    partition(kNvmeController + "/nvme0n1/nvme0n1p1", 259, 1, "E: ID_FS_TYPE=ext4\nE: ID_SERIAL_SHORT=S6\n") +
    partition("/devices/platform/mmc0/block/mmcblk0/mmcblk0p1", 179, 1, "E: ID_FS_TYPE=ext4\n");

PropertyMap read(int32_t status = 2, int32_t filter = 0)
{
    return TestSupport::readProvider<LogicalDiskProvider>("LogicalDisk", status, filter);
}

class LogicalDiskProviderTest : public ::testing::Test {
protected:
    LogicalDiskProviderTest()
    {
        const char* preload = std::getenv("LD_PRELOAD");
        if (preload == nullptr || std::strstr(preload, "libumockdev-preload") == nullptr) {
            throw std::runtime_error("run these tests through tests/support/disk-testbed-run.sh");
        }
        TestSupport::requirePrivateMountNamespace();
    }
    ~LogicalDiskProviderTest() override { g_object_unref(testbed); }

    // Adds the devices of a umockdev record, parents first; sends no event.
    void add(const std::string& record) { ASSERT_TRUE(umockdev_testbed_add_from_string(testbed, record.c_str(), 0)); }
    void uevent(const char* action) { umockdev_testbed_uevent(testbed, ("/sys" + kStickPartition).c_str(), action); }

    UMockdevTestbed* const testbed = umockdev_testbed_new();
    const TestSupport::TempDir dir;
};

}  // namespace

TEST_F(LogicalDiskProviderTest, ReportsMountedAndUsbPartitionsInUdevOrder)
{
    add(kStick);
    add(kFixed);
    // NVMe controllers pad their model with blanks.
    umockdev_testbed_set_attribute(testbed, ("/sys" + kNvmeController).c_str(), "model", "Samsung SSD \n");
    const DeviceMount mounts[] = {{"/dev/sdb1", dir.file("MY STICK")}, {"/dev/sdb1", dir.file("b"), "16m"},
                                  {"/dev/sda2", dir.file("data"), "32m"}, {"/dev/nvme0n1p1", dir.file("root")},
                                  {"/dev/mmcblk0p1", dir.file("emmc")}};
    // 2 MiB used on the stick: the sizes are those of its first mount.
    std::ofstream(mounts[0].path + "/file") << std::string(2 << 20, 'x');
    // sda1 is neither mounted nor on USB and the eMMC card is not supported: neither takes an index.
    const std::vector<std::vector<std::string>> disks = {
        {"Removable", "MY STICK", "FAT32", mounts[0].path + ";" + mounts[1].path, "64", "62", "SanDisk Cruzer Blade",
         "0x0781", "0x5567", "4C53", "USB"},
        {"Fixed", "data", "ext4", mounts[2].path, "32", "32", "INTEL SSD", "0x17aa", "0x2292", "BTYF0", "ATA"},
        {"Fixed", "", "ext4", mounts[3].path, "64", "64", "Samsung SSD", "0x144d", "0xa801", "S6", "NVMe"}};
    const char* names[] = {"TYPE", "LABEL",     "FILESYSTEM", "PATH",         "TOTALMB", "FREEMB",
                           "NAME", "VENDOR_ID", "PRODUCT_ID", "SERIALNUMBER", "BUSTYPE"};
    PropertyMap expected{{"DEVICE_LOGICALDISK_COUNT", "3"}};
    for (std::size_t index = 0; index < disks.size(); ++index) {
        for (std::size_t key = 0; key < std::size(names); ++key) {
            expected["DEVICE_LOGICALDISK_" + std::to_string(index) + "_" + names[key]] = disks[index][key];
        }
    }
    EXPECT_EQ(read(), expected);
    EXPECT_TRUE(read(1, 0).empty());
    EXPECT_TRUE(read(0, -1).empty());
}

TEST_F(LogicalDiskProviderTest, MonitorReportsPartitionsAndMountsComingAndGoing)
{
    std::atomic<int> calls{0};
    const auto counting = [&calls](std::shared_ptr<Category const> changed) {
        EXPECT_EQ(changed->name, "LogicalDisk");
        ++calls;
        throw std::runtime_error("engine gone");  // reported, and the monitor goes on
    };
    const auto changedBy = [&calls](const std::function<void()>& step) {
        const int seen = calls;
        step();
        return TestSupport::waitUntil([&] { return calls > seen; });
    };
    const auto category = TestSupport::category("LogicalDisk");
    std::optional<LogicalDiskProvider> udevOnly(std::in_place, category, "20.1");
    {
        // Without the mount table (an empty /proc) nothing is reported, and udev alone is watched.
        const TestSupport::ScopedTmpfs noProc("/proc");
        const TestSupport::LogWatch log;
        EXPECT_EQ(read(), (PropertyMap{{"DEVICE_LOGICALDISK_COUNT", "0"}}));
        EXPECT_TRUE(log.contains("ERROR - Failed to find mount points error [No such file or directory]"));
        udevOnly->monitorForChanges(counting);
        EXPECT_TRUE(log.contains("ERROR - Failed to open /proc/self/mounts file handle for logical disk monitoring"));
    }
    add(kStick);
    ASSERT_TRUE(changedBy([&] { uevent("add"); }));
    udevOnly.reset();  // destroyed while monitoring

    const TestSupport::LogWatch log;
    LogicalDiskProvider provider(category, "20.1");
    provider.monitorForChanges(counting);
    provider.monitorForChanges(counting);  // ignored: one thread only
    EXPECT_EQ(read().at("DEVICE_LOGICALDISK_COUNT"), "1");  // the stick, unmounted
    std::optional<DeviceMount> mount;
    ASSERT_TRUE(changedBy([&] { mount.emplace("/dev/sdb1", dir.file("stick")); }));
    // The watching provider keeps what udev and the mount table told while nothing is announced.
    const auto watched = [&](const char* key) { return provider.getProperties().get().at(key); };
    EXPECT_EQ(watched("DEVICE_LOGICALDISK_0_PATH"), dir.file("stick"));
    EXPECT_EQ(watched("DEVICE_LOGICALDISK_0_PATH"), dir.file("stick"));
    ASSERT_TRUE(changedBy([&] { mount.reset(); }));
    // A mount of something else is a change as well.
    ASSERT_TRUE(changedBy([&] { mount.emplace("elsewhere", dir.file("other")); }));
    ASSERT_TRUE(changedBy([&] {
        uevent("remove");
        umockdev_testbed_remove_device(testbed, ("/sys" + kStickPartition).c_str());
    }));
    EXPECT_EQ(watched("DEVICE_LOGICALDISK_COUNT"), "0");
    EXPECT_TRUE(log.contains("ERROR - Failed to report logical disk changes error [engine gone]"));
    provider.close();
    provider.close();  // closing again does nothing
}
