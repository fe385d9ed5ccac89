// SPDX-License-Identifier: Apache-2.0
// The text rules of the logical-disk provider, apart from the system: the
// mount table, udev's escaped values, which partitions are supported and how
// their facts become a disk record, and the size arithmetic. Each takes
// strings or numbers and returns values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// One line of the mount table: the mounted device and where it is mounted.
struct MountEntry {
    std::string device;
    std::string directory;

    bool operator==(const MountEntry&) const = default;
};
using MountTable = std::vector<MountEntry>;

// One reported partition; every field empty until known.
struct Disk {
    std::string devName;       // device node, /dev/sdb1
    std::string type;          // "Fixed" or "Removable"
    std::string label;         // file-system label
    std::string fileSystem;    // file-system type, or the FAT version of a vfat
    std::string busType;       // ATA, USB, SCSI ... or "NVMe"
    std::string name;          // vendor and model text
    std::string vendorId;      // "0x" and hexadecimal digits
    std::string productId;     // "0x" and hexadecimal digits
    std::string serialNumber;
};

// What udev says about one partition and the devices above it, already
// trimmed (and decoded, for the *_ENC values); empty when absent.
struct PartitionFacts {
    std::string devName;       // DEVNAME
    std::string labelEncoded;  // ID_FS_LABEL_ENC
    std::string label;         // ID_FS_LABEL
    std::string fsType;        // ID_FS_TYPE
    std::string fsVersion;     // ID_FS_VERSION
    std::string serialShort;   // ID_SERIAL_SHORT
    std::string serial;        // ID_SERIAL
    std::string vendorEncoded; // ID_VENDOR_ENC
    std::string vendor;        // ID_VENDOR
    std::string modelEncoded;  // ID_MODEL_ENC
    std::string model;         // ID_MODEL
    std::string bus;           // ID_BUS

    bool hasPci = false;           // a parent of subsystem "pci"
    std::string pciVendor;         // its subsystem_vendor
    std::string pciDevice;         // its subsystem_device
    bool hasUsb = false;           // a parent of subsystem "usb", type "usb_device"
    std::string usbVendor;         // its idVendor
    std::string usbProduct;        // its idProduct
    bool hasNvme = false;          // a parent of subsystem "nvme"
    std::string nvmeModel;         // its model
};

class LogicalDiskRules {
public:
    // Which partitions are reported, by the udev property MAJOR.
    enum class Kind {
        Scsi,         // "8": SCSI disks, with SATA and USB mass storage
        Extended,     // "259": NVMe and other extended block devices
        Unsupported,  // anything else, eMMC (179) among them
    };
    static Kind kindFromMajor(const std::string& major);

    // The mount table as /proc/self/mounts writes it: device and directory are
    // the first two fields of each line, with blanks, tabs, newlines and
    // backslashes written as octal escapes (\040). Lines with fewer than two
    // fields are skipped.
    static MountTable parseMountTable(const std::string& text);
    static std::string decodeMountField(const std::string& field);

    // The directories where `device` is mounted, in table order; the device
    // name compares exactly.
    static std::vector<std::string> mountDirectories(const MountTable& table, const std::string& device);
    static std::string joinDirectories(const std::vector<std::string>& directories);

    // A udev value: trimmed; an encoded one (*_ENC) is decoded first.
    static std::string plainValue(const char* raw);
    static std::string encodedValue(const char* raw);

    // udev's order of enumerated devices by sysfs path: md and dm devices
    // after all others, each group by path.
    static bool enumeratedBefore(const std::string& syspath, const std::string& other);

    // The disk record of a partition of `kind` (Scsi or Extended).
    static Disk diskFromFacts(const PartitionFacts& facts, Kind kind);

    // Size or free space in MiB from a statvfs block count, the fragment size
    // and the block size (used when the fragment size is 0), truncated.
    static uint64_t megabytes(uint64_t blocks, uint64_t fragmentSize, uint64_t blockSize);
    // The printed value of a size: empty (reported "Unavailable") for 0.
    static std::optional<std::string> formatMegabytes(uint64_t megabytes);

    // Device dumps are on only for the exact text "true".
    static bool dumpingEnabled(const std::string& setting);
    // A value as a dump line shows it: control characters as \xHH, so a
    // value never breaks the log into lines of its own making.
    static std::string printable(const char* raw);
};
