// The logical-disk text rules, without the system.
#include "providers/LogicalDiskRules.h"

#include <gtest/gtest.h>

#include <cstdint>

using Kind = LogicalDiskRules::Kind;

TEST(LogicalDiskRules, MountTableWithEscapedFields)
{
    const std::string text =
        "sysfs /sys sysfs rw,nosuid 0 0\n"
        "/dev/sdb1 /media/MY\\040STICK vfat rw 0 0\n"
        "/dev/sda2 /mnt/tab\\011and\\012newline\\134back ext4 rw 0 0\n"
        "\n"
        "lonely\n"
        "/dev/sdb1\t/mnt/second tmpfs rw 0 0\n"
        "/dev/odd /mnt/not\\400octal\\08x\\1 ext4 rw 0 0";
    const MountTable table = LogicalDiskRules::parseMountTable(text);
    const MountTable expected = {
        {"sysfs", "/sys"},
        {"/dev/sdb1", "/media/MY STICK"},
        {"/dev/sda2", "/mnt/tab\tand\nnewline\\back"},
        {"/dev/sdb1", "/mnt/second"},
        {"/dev/odd", "/mnt/not\\400octal\\08x\\1"},
    };
    EXPECT_EQ(table, expected);

    EXPECT_EQ(LogicalDiskRules::mountDirectories(table, "/dev/sdb1"),
              (std::vector<std::string>{"/media/MY STICK", "/mnt/second"}));
    EXPECT_TRUE(LogicalDiskRules::mountDirectories(table, "/dev/sdb").empty());
    EXPECT_TRUE(LogicalDiskRules::mountDirectories(table, "").empty());
    EXPECT_EQ(LogicalDiskRules::joinDirectories({"/a", "/b c", "/d"}), "/a;/b c;/d");
    EXPECT_EQ(LogicalDiskRules::joinDirectories({}), "");
    EXPECT_TRUE(LogicalDiskRules::parseMountTable("").empty());
}

TEST(LogicalDiskRules, UdevValues)
{
    EXPECT_EQ(LogicalDiskRules::plainValue(nullptr), "");
    EXPECT_EQ(LogicalDiskRules::plainValue("  FAT32 \n"), "FAT32");
    EXPECT_EQ(LogicalDiskRules::encodedValue(nullptr), "");
    EXPECT_EQ(LogicalDiskRules::encodedValue("MY\\x20STICK"), "MY STICK");
    // Blanks that udev pads with are escaped too, and go with the trimming.
    EXPECT_EQ(LogicalDiskRules::encodedValue("Cruzer\\x20Blade\\x20\\x20"), "Cruzer Blade");
    EXPECT_EQ(LogicalDiskRules::encodedValue("back\\x5cslash"), "back\\slash");
}

TEST(LogicalDiskRules, SupportedMajors)
{
    EXPECT_EQ(LogicalDiskRules::kindFromMajor("8"), Kind::Scsi);
    EXPECT_EQ(LogicalDiskRules::kindFromMajor("259"), Kind::Extended);
    EXPECT_EQ(LogicalDiskRules::kindFromMajor("179"), Kind::Unsupported);
    EXPECT_EQ(LogicalDiskRules::kindFromMajor("08"), Kind::Unsupported);
    EXPECT_EQ(LogicalDiskRules::kindFromMajor(""), Kind::Unsupported);
}

TEST(LogicalDiskRules, InternalDiskTakesPciIdsAndBus)
{
    PartitionFacts facts;
    facts.devName = "/dev/sda2";
    facts.label = "data";
    facts.fsType = "ext4";
    facts.fsVersion = "1.0";
    facts.serial = "INTEL_SSD_1";
    facts.model = "INTEL SSD";
    facts.bus = "ata";
    facts.hasPci = true;
    facts.pciVendor = "0x17aa";
    facts.pciDevice = "0x2292";
    const Disk disk = LogicalDiskRules::diskFromFacts(facts, Kind::Scsi);
    EXPECT_EQ(disk.devName, "/dev/sda2");
    EXPECT_EQ(disk.type, "Fixed");
    EXPECT_EQ(disk.label, "data");
    EXPECT_EQ(disk.fileSystem, "ext4");
    EXPECT_EQ(disk.serialNumber, "INTEL_SSD_1");
    EXPECT_EQ(disk.name, "INTEL SSD");
    EXPECT_EQ(disk.vendorId, "0x17aa");
    EXPECT_EQ(disk.productId, "0x2292");
    EXPECT_EQ(disk.busType, "ATA");
}

TEST(LogicalDiskRules, UsbStickOverridesTypeAndIds)
{
    PartitionFacts facts;
    facts.labelEncoded = "MY STICK";
    facts.label = "MY_STICK";
    facts.fsType = "vfat";
    facts.fsVersion = "FAT32";
    facts.serialShort = "4C53";
    facts.serial = "SanDisk_4C53";
    facts.vendorEncoded = "SanDisk";
    facts.vendor = "SanDisk_";
    facts.model = "Cruzer";
    facts.bus = "usb";
    facts.hasPci = true;
    facts.pciVendor = "0x17aa";
    facts.pciDevice = "0x2293";
    facts.hasUsb = true;
    facts.usbVendor = "0781";
    facts.usbProduct = "5567";
    Disk disk = LogicalDiskRules::diskFromFacts(facts, Kind::Scsi);
    EXPECT_EQ(disk.type, "Removable");
    EXPECT_EQ(disk.label, "MY STICK");
    EXPECT_EQ(disk.fileSystem, "FAT32");
    EXPECT_EQ(disk.serialNumber, "4C53");
    EXPECT_EQ(disk.name, "SanDisk Cruzer");
    EXPECT_EQ(disk.vendorId, "0x0781");
    EXPECT_EQ(disk.productId, "0x5567");
    EXPECT_EQ(disk.busType, "USB");

    // An empty USB id replaces the controller's, rather than showing it.
    facts.usbProduct.clear();
    facts.vendorEncoded.clear();
    facts.vendor.clear();
    disk = LogicalDiskRules::diskFromFacts(facts, Kind::Scsi);
    EXPECT_EQ(disk.vendorId, "0x0781");
    EXPECT_EQ(disk.productId, "");
    EXPECT_EQ(disk.name, "Cruzer");

    // The USB rule belongs to SCSI disks only; a vfat without a version has
    // no file system text.
    facts.fsVersion.clear();
    disk = LogicalDiskRules::diskFromFacts(facts, Kind::Extended);
    EXPECT_EQ(disk.type, "Fixed");
    EXPECT_EQ(disk.vendorId, "0x17aa");
    EXPECT_EQ(disk.fileSystem, "");
}

TEST(LogicalDiskRules, NvmeTakesTheControllerModel)
{
    PartitionFacts facts;
    facts.vendor = "Samsung";
    facts.model = "SSD_980";
    facts.bus = "nvme";
    facts.hasNvme = true;
    facts.nvmeModel = "Samsung SSD 980 1TB";
    Disk disk = LogicalDiskRules::diskFromFacts(facts, Kind::Extended);
    EXPECT_EQ(disk.busType, "NVMe");
    EXPECT_EQ(disk.name, "Samsung SSD 980 1TB");

    // Major 259 without an NVMe controller (a partitioned loop device) keeps its own facts.
    facts.hasNvme = false;
    disk = LogicalDiskRules::diskFromFacts(facts, Kind::Extended);
    EXPECT_EQ(disk.busType, "NVME");
    EXPECT_EQ(disk.name, "Samsung SSD_980");

    // The NVMe rule belongs to major 259 only.
    facts.hasNvme = true;
    disk = LogicalDiskRules::diskFromFacts(facts, Kind::Scsi);
    EXPECT_EQ(disk.busType, "NVME");
}

TEST(LogicalDiskRules, Sizes)
{
    // 64 MiB in 4 KiB blocks; the fragment size wins over the block size.
    EXPECT_EQ(LogicalDiskRules::megabytes(16384, 4096, 65536), 64U);
    EXPECT_EQ(LogicalDiskRules::megabytes(16384, 0, 4096), 64U);
    // Truncated, not rounded.
    EXPECT_EQ(LogicalDiskRules::megabytes(255, 4096, 4096), 0U);
    EXPECT_EQ(LogicalDiskRules::megabytes(511, 4096, 4096), 1U);
    // No wrap-around at the top of the range.
    EXPECT_EQ(LogicalDiskRules::megabytes(UINT64_MAX, 4096, 4096), uint64_t{1} << 56);
    EXPECT_EQ(LogicalDiskRules::megabytes(UINT64_MAX, uint64_t{1} << 21, 0), UINT64_MAX);

    EXPECT_EQ(LogicalDiskRules::formatMegabytes(0), std::nullopt);
    EXPECT_EQ(LogicalDiskRules::formatMegabytes(64), "64");
    EXPECT_EQ(LogicalDiskRules::formatMegabytes(UINT64_MAX), "18446744073709551615");
}

TEST(LogicalDiskRules, DumpSettingAndValues)
{
    EXPECT_TRUE(LogicalDiskRules::dumpingEnabled("true"));
    EXPECT_FALSE(LogicalDiskRules::dumpingEnabled("TRUE"));
    EXPECT_FALSE(LogicalDiskRules::dumpingEnabled("1"));
    EXPECT_FALSE(LogicalDiskRules::dumpingEnabled("false"));
    EXPECT_FALSE(LogicalDiskRules::dumpingEnabled(" true"));

    EXPECT_EQ(LogicalDiskRules::printable(nullptr), "");
    EXPECT_EQ(LogicalDiskRules::printable("SanDisk Cruzer"), "SanDisk Cruzer");
    EXPECT_EQ(LogicalDiskRules::printable("two\nlines\r\x7f"), "two\\x0alines\\x0d\\x7f");
}
