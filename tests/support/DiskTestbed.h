// Block devices for the logical-disk tests: a umockdev testbed in this
// process, which the real libudev reads instead of the machine's devices,
// and tmpfs mounts that carry a partition's device name as their source, so
// /proc/self/mounts lists the partition as mounted.
//
// The process must run with umockdev's preload library (umockdev-wrapper)
// and, for the mounts, in a private mount namespace; tests/support/
// disk-testbed-run.sh starts a test program that way.
#pragma once

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <string>

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace TestSupport {

class DiskTestbed {
public:
    // Throws std::runtime_error when umockdev's preload library is missing.
    DiskTestbed();
    ~DiskTestbed();
    DiskTestbed(const DiskTestbed&) = delete;
    DiskTestbed& operator=(const DiskTestbed&) = delete;

    // Adds the devices of a umockdev record ("P:", "N:", "E:", "A:" lines,
    // parents first); sends no event.
    void add(const std::string& record);
    // Sends a uevent for a device of the testbed ("/sys/devices/...").
    void uevent(const std::string& syspath, const std::string& action);
    void remove(const std::string& syspath);
    // Sets a system attribute's file to `value` exactly (the record format
    // cannot carry trailing blanks).
    void setAttribute(const std::string& syspath, const std::string& name, const std::string& value);

private:
    UMockdevTestbed* _testbed;
};

// A tmpfs of `size` mounted on `directory` with `source` as its device name.
class ScopedDeviceMount {
public:
    ScopedDeviceMount(const std::string& source, std::string directory, const std::string& size = "64m");
    ~ScopedDeviceMount();
    ScopedDeviceMount(const ScopedDeviceMount&) = delete;
    ScopedDeviceMount& operator=(const ScopedDeviceMount&) = delete;

    void unmount();

private:
    std::string _directory;
    bool _mounted = false;
};

// A test with a testbed and a temporary directory for mount points; it fails
// unless the process has a private mount namespace.
class DiskTest : public ::testing::Test {
protected:
    void SetUp() override;

    // Makes the directory `name` for a mount; returns its path.
    std::string directory(const std::string& name) const;

    DiskTestbed testbed;
    TempDir _dir;
};

// The devices of the tests, each with its parents.
namespace Disks {

// A USB stick: one FAT32 partition, /dev/sdb1, labelled "MY STICK".
extern const std::string kUsbStick;
extern const std::string kUsbStickPartition;
// A second USB stick whose product id is empty: /dev/sdc1, exFAT, no label.
extern const std::string kBareUsbStick;
extern const std::string kBareUsbStickPartition;
// An internal SATA disk with two ext4 partitions, /dev/sda1 and /dev/sda2.
extern const std::string kSataDisk;
extern const std::string kSataPartition;
// An NVMe disk with one partition, /dev/nvme0n1p1, on controller nvme0.
extern const std::string kNvmeDisk;
extern const std::string kNvmeController;
// An eMMC card with one partition of major 179, /dev/mmcblk0p1.
extern const std::string kEmmcDisk;

}  // namespace Disks

}  // namespace TestSupport
