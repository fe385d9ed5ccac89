#include "support/DiskTestbed.h"

#include "support/MountNamespace.h"

#include <sys/mount.h>
#include <umockdev.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace TestSupport {

DiskTestbed::DiskTestbed()
{
    const char* preload = std::getenv("LD_PRELOAD");
    if (preload == nullptr || std::strstr(preload, "libumockdev-preload") == nullptr) {
        throw std::runtime_error("these tests need umockdev's preload library: run them through "
                                 "tests/support/disk-testbed-run.sh");
    }
    _testbed = umockdev_testbed_new();
}

DiskTestbed::~DiskTestbed()
{
    g_object_unref(_testbed);
}

void DiskTestbed::add(const std::string& record)
{
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(_testbed, record.c_str(), &error)) {
        const std::string message = error != nullptr ? error->message : "unknown error";
        g_clear_error(&error);
        throw std::runtime_error("cannot add devices to the testbed: " + message);
    }
}

void DiskTestbed::uevent(const std::string& syspath, const std::string& action)
{
    umockdev_testbed_uevent(_testbed, syspath.c_str(), action.c_str());
}

void DiskTestbed::remove(const std::string& syspath)
{
    umockdev_testbed_remove_device(_testbed, syspath.c_str());
}

void DiskTestbed::setAttribute(const std::string& syspath, const std::string& name, const std::string& value)
{
    umockdev_testbed_set_attribute(_testbed, syspath.c_str(), name.c_str(), value.c_str());
}

ScopedDeviceMount::ScopedDeviceMount(const std::string& source, std::string directory, const std::string& size)
    : _directory(std::move(directory))
{
    requirePrivateMountNamespace();
    const std::string options = "size=" + size;
    if (mount(source.c_str(), _directory.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
        throw std::runtime_error("cannot mount " + source + " on " + _directory + ": " + std::strerror(errno));
    }
    _mounted = true;
}

ScopedDeviceMount::~ScopedDeviceMount()
{
    unmount();
}

void ScopedDeviceMount::unmount()
{
    if (_mounted && umount2(_directory.c_str(), 0) != 0) {
        umount2(_directory.c_str(), MNT_DETACH);
    }
    _mounted = false;
}

namespace Disks {

const char* const kUsbStick = R"(P: /devices/pci0000:00/0000:00:14.0
E: SUBSYSTEM=pci
E: DRIVER=xhci_hcd
A: subsystem_vendor=0x17aa
A: subsystem_device=0x2293

P: /devices/pci0000:00/0000:00:14.0/usb1/1-1
E: SUBSYSTEM=usb
E: DEVTYPE=usb_device
A: idVendor=0781
A: idProduct=5567
A: product=Cruzer Blade

P: /devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/host6/target6:0:0/6:0:0:0
E: SUBSYSTEM=scsi
E: DEVTYPE=scsi_device
A: vendor=SanDisk

P: /devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/host6/target6:0:0/6:0:0:0/block/sdb
N: sdb
E: SUBSYSTEM=block
E: DEVTYPE=disk
E: DEVNAME=/dev/sdb
E: MAJOR=8
E: MINOR=16

P: /devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/host6/target6:0:0/6:0:0:0/block/sdb/sdb1
N: sdb1
E: SUBSYSTEM=block
E: DEVTYPE=partition
E: DEVNAME=/dev/sdb1
E: MAJOR=8
E: MINOR=17
E: ID_BUS=usb
E: ID_FS_TYPE=vfat
E: ID_FS_VERSION=FAT32
E: ID_FS_LABEL=MY_STICK
E: ID_FS_LABEL_ENC=MY\x20STICK
E: ID_VENDOR=SanDisk
E: ID_VENDOR_ENC=SanDisk\x20
E: ID_MODEL=Cruzer_Blade
E: ID_MODEL_ENC=Cruzer\x20Blade\x20\x20\x20\x20
E: ID_SERIAL=SanDisk_Cruzer_Blade_4C530001-0:0
E: ID_SERIAL_SHORT=4C530001
A: size=30031872
)";

const char* const kUsbStickPartition =
    "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/host6/target6:0:0/6:0:0:0/block/sdb/sdb1";

const char* const kBareUsbStick = R"(P: /devices/pci0000:00/0000:00:14.0/usb2/2-1
E: SUBSYSTEM=usb
E: DEVTYPE=usb_device
A: idVendor=090c
A: idProduct=

P: /devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host7/target7:0:0/7:0:0:0/block/sdc
N: sdc
E: SUBSYSTEM=block
E: DEVTYPE=disk
E: DEVNAME=/dev/sdc
E: MAJOR=8
E: MINOR=32

P: /devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host7/target7:0:0/7:0:0:0/block/sdc/sdc1
N: sdc1
E: SUBSYSTEM=block
E: DEVTYPE=partition
E: DEVNAME=/dev/sdc1
E: MAJOR=8
E: MINOR=33
E: ID_BUS=usb
E: ID_FS_TYPE=exfat
)";

const char* const kBareUsbStickPartition =
    "/sys/devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host7/target7:0:0/7:0:0:0/block/sdc/sdc1";

const char* const kSataDisk = R"(P: /devices/pci0000:00/0000:00:17.0
E: SUBSYSTEM=pci
E: DRIVER=ahci
A: subsystem_vendor=0x17aa
A: subsystem_device=0x2292

P: /devices/pci0000:00/0000:00:17.0/ata1
E: SUBSYSTEM=ata

P: /devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/block/sda
N: sda
E: SUBSYSTEM=block
E: DEVTYPE=disk
E: DEVNAME=/dev/sda
E: MAJOR=8
E: MINOR=0

P: /devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/block/sda/sda1
N: sda1
E: SUBSYSTEM=block
E: DEVTYPE=partition
E: DEVNAME=/dev/sda1
E: MAJOR=8
E: MINOR=1
E: ID_BUS=ata
E: ID_FS_TYPE=ext4
E: ID_FS_LABEL=boot

P: /devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/block/sda/sda2
N: sda2
E: SUBSYSTEM=block
E: DEVTYPE=partition
E: DEVNAME=/dev/sda2
E: MAJOR=8
E: MINOR=2
E: ID_BUS=ata
E: ID_FS_TYPE=ext4
E: ID_FS_LABEL=data
E: ID_MODEL=INTEL_SSDSC2KB480G8
E: ID_MODEL_ENC=INTEL\x20SSDSC2KB480G8\x20\x20
E: ID_SERIAL=INTEL_SSDSC2KB480G8_BTYF0123
)";

const char* const kNvmeDisk = R"(P: /devices/pci0000:00/0000:00:1d.0/0000:3d:00.0
E: SUBSYSTEM=pci
E: DRIVER=nvme
A: subsystem_vendor=0x144d
A: subsystem_device=0xa801

P: /devices/pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0
E: SUBSYSTEM=nvme
A: model=Samsung SSD 980 1TB

P: /devices/pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0/nvme0n1
N: nvme0n1
E: SUBSYSTEM=block
E: DEVTYPE=disk
E: DEVNAME=/dev/nvme0n1
E: MAJOR=259
E: MINOR=0

P: /devices/pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0/nvme0n1/nvme0n1p1
N: nvme0n1p1
E: SUBSYSTEM=block
E: DEVTYPE=partition
E: DEVNAME=/dev/nvme0n1p1
E: MAJOR=259
E: MINOR=1
E: ID_FS_TYPE=ext4
E: ID_FS_LABEL=root
E: ID_MODEL=Samsung SSD 980 1TB
E: ID_SERIAL=Samsung_SSD_980_1TB_S64ANS0T
E: ID_SERIAL_SHORT=S64ANS0T
)";

const char* const kNvmeController = "/sys/devices/pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0";

const char* const kEmmcDisk = R"(P: /devices/platform/soc/mmc_host/mmc0/mmc0:0001
E: SUBSYSTEM=mmc

P: /devices/platform/soc/mmc_host/mmc0/mmc0:0001/block/mmcblk0
N: mmcblk0
E: SUBSYSTEM=block
E: DEVTYPE=disk
E: DEVNAME=/dev/mmcblk0
E: MAJOR=179
E: MINOR=0

P: /devices/platform/soc/mmc_host/mmc0/mmc0:0001/block/mmcblk0/mmcblk0p1
N: mmcblk0p1
E: SUBSYSTEM=block
E: DEVTYPE=partition
E: DEVNAME=/dev/mmcblk0p1
E: MAJOR=179
E: MINOR=1
E: ID_FS_TYPE=ext4
E: ID_FS_LABEL=system
)";

}  // namespace Disks

}  // namespace TestSupport
