#include "support/DiskTestbed.h"

#include "support/MountNamespace.h"

#include <sys/mount.h>
#include <umockdev.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <initializer_list>
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

void DiskTest::SetUp()
{
    requirePrivateMountNamespace();
}

std::string DiskTest::directory(const std::string& name) const
{
    const std::string path = _dir.file(name);
    std::filesystem::create_directories(path);
    return path;
}

namespace Disks {

namespace {

// A umockdev record of a PCI controller.
std::string pciController(const std::string& syspath, const std::string& driver, const std::string& subsystemVendor,
                          const std::string& subsystemDevice)
{
    return "P: " + syspath + "\nE: SUBSYSTEM=pci\nE: DRIVER=" + driver + "\nA: subsystem_vendor=" + subsystemVendor +
           "\nA: subsystem_device=" + subsystemDevice + "\n";
}

// A umockdev record of a block device, a whole "disk" or a "partition", named
// as the last part of `syspath`; `more` adds lines after its numbers.
std::string blockDevice(const std::string& syspath, const std::string& type, int major, int minor,
                        const std::string& more = "")
{
    const std::string name = syspath.substr(syspath.rfind('/') + 1);
    return "P: " + syspath + "\nN: " + name + "\nE: SUBSYSTEM=block\nE: DEVTYPE=" + type + "\nE: DEVNAME=/dev/" +
           name + "\nE: MAJOR=" + std::to_string(major) + "\nE: MINOR=" + std::to_string(minor) + "\n" + more;
}

// Records one after another, parents first.
std::string records(std::initializer_list<std::string> each)
{
    std::string joined;
    for (const std::string& record : each) {
        joined += (joined.empty() ? "" : "\n") + record;
    }
    return joined;
}

const std::string kUsbStickDisk =
    "/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/host6/target6:0:0/6:0:0:0/block/sdb";
const std::string kBareUsbStickDisk =
    "/devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host7/target7:0:0/7:0:0:0/block/sdc";
const std::string kSataDiskPath = "/devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/block/sda";
const std::string kNvmeControllerPath = "/devices/pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0";
const std::string kEmmcDiskPath = "/devices/platform/soc/mmc_host/mmc0/mmc0:0001/block/mmcblk0";

}  // namespace

const std::string kUsbStick = records({
    pciController("/devices/pci0000:00/0000:00:14.0", "xhci_hcd", "0x17aa", "0x2293"),
    "P: /devices/pci0000:00/0000:00:14.0/usb1/1-1\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: idVendor=0781\n"
    "A: idProduct=5567\nA: product=Cruzer Blade\n",
    "P: /devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/host6/target6:0:0/6:0:0:0\nE: SUBSYSTEM=scsi\n"
    "E: DEVTYPE=scsi_device\nA: vendor=SanDisk\n",
    blockDevice(kUsbStickDisk, "disk", 8, 16),
    blockDevice(kUsbStickDisk + "/sdb1", "partition", 8, 17, R"(E: ID_BUS=usb
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
)"),
});

const std::string kUsbStickPartition = "/sys" + kUsbStickDisk + "/sdb1";

const std::string kBareUsbStick = records({
    "P: /devices/pci0000:00/0000:00:14.0/usb2/2-1\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: idVendor=090c\n"
    "A: idProduct=\n",
    blockDevice(kBareUsbStickDisk, "disk", 8, 32),
    blockDevice(kBareUsbStickDisk + "/sdc1", "partition", 8, 33, "E: ID_BUS=usb\nE: ID_FS_TYPE=exfat\n"),
});

const std::string kBareUsbStickPartition = "/sys" + kBareUsbStickDisk + "/sdc1";

const std::string kSataPartition = "/sys" + kSataDiskPath + "/sda1";
const std::string kSataDisk = records({
    pciController("/devices/pci0000:00/0000:00:17.0", "ahci", "0x17aa", "0x2292"),
    "P: /devices/pci0000:00/0000:00:17.0/ata1\nE: SUBSYSTEM=ata\n",
    blockDevice(kSataDiskPath, "disk", 8, 0),
    blockDevice(kSataDiskPath + "/sda1", "partition", 8, 1, "E: ID_BUS=ata\nE: ID_FS_TYPE=ext4\nE: ID_FS_LABEL=boot\n"),
    blockDevice(kSataDiskPath + "/sda2", "partition", 8, 2, R"(E: ID_BUS=ata
E: ID_FS_TYPE=ext4
E: ID_FS_LABEL=data
E: ID_MODEL=INTEL_SSDSC2KB480G8
E: ID_MODEL_ENC=INTEL\x20SSDSC2KB480G8\x20\x20
E: ID_SERIAL=INTEL_SSDSC2KB480G8_BTYF0123
)"),
});

const std::string kNvmeDisk = records({
    pciController("/devices/pci0000:00/0000:00:1d.0/0000:3d:00.0", "nvme", "0x144d", "0xa801"),
    "P: " + kNvmeControllerPath + "\nE: SUBSYSTEM=nvme\nA: model=Samsung SSD 980 1TB\n",
    blockDevice(kNvmeControllerPath + "/nvme0n1", "disk", 259, 0),
    blockDevice(kNvmeControllerPath + "/nvme0n1/nvme0n1p1", "partition", 259, 1, R"(E: ID_FS_TYPE=ext4
E: ID_FS_LABEL=root
E: ID_MODEL=Samsung SSD 980 1TB
E: ID_SERIAL=Samsung_SSD_980_1TB_S64ANS0T
E: ID_SERIAL_SHORT=S64ANS0T
)"),
});

const std::string kNvmeController = "/sys" + kNvmeControllerPath;

const std::string kEmmcDisk = records({
    "P: /devices/platform/soc/mmc_host/mmc0/mmc0:0001\nE: SUBSYSTEM=mmc\n",
    blockDevice(kEmmcDiskPath, "disk", 179, 0),
    blockDevice(kEmmcDiskPath + "/mmcblk0p1", "partition", 179, 1, "E: ID_FS_TYPE=ext4\nE: ID_FS_LABEL=system\n"),
});

}  // namespace Disks

}  // namespace TestSupport
