// The logical-disk text rules, without the system.
#include "providers/disk/LogicalDiskRules.h"

#include <gtest/gtest.h>

#include <cstdint>

// The cases name only the facts and fields they have; the rest stay empty.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

using Kind = LogicalDiskRules::Kind;

namespace {

// Every field of a disk record, one per line, so a difference shows by name.
std::string describe(const Disk& disk)
{
    return "devName=" + disk.devName + "\ntype=" + disk.type + "\nlabel=" + disk.label +
           "\nfileSystem=" + disk.fileSystem + "\nbusType=" + disk.busType + "\nname=" + disk.name +
           "\nvendorId=" + disk.vendorId + "\nproductId=" + disk.productId + "\nserialNumber=" + disk.serialNumber;
}

// The whole record made of `facts` for a partition of `kind` is `expected`.
void expectDisk(const PartitionFacts& facts, Kind kind, const Disk& expected)
{
    EXPECT_EQ(describe(LogicalDiskRules::diskFromFacts(facts, kind)), describe(expected));
}

}  // namespace

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
    const PartitionFacts facts{.devName = "/dev/sda2", .label = "data", .fsType = "ext4", .fsVersion = "1.0",
                               .serial = "INTEL_SSD_1", .model = "INTEL SSD", .bus = "ata", .hasPci = true,
                               .pciVendor = "0x17aa", .pciDevice = "0x2292"};
    expectDisk(facts, Kind::Scsi,
               {.devName = "/dev/sda2", .type = "Fixed", .label = "data", .fileSystem = "ext4", .busType = "ATA",
                .name = "INTEL SSD", .vendorId = "0x17aa", .productId = "0x2292", .serialNumber = "INTEL_SSD_1"});
}

TEST(LogicalDiskRules, UsbStickOverridesTypeAndIds)
{
    PartitionFacts facts{.labelEncoded = "MY STICK", .label = "MY_STICK", .fsType = "vfat", .fsVersion = "FAT32",
                         .serialShort = "4C53", .serial = "SanDisk_4C53", .vendorEncoded = "SanDisk",
                         .vendor = "SanDisk_", .model = "Cruzer", .bus = "usb", .hasPci = true,
                         .pciVendor = "0x17aa", .pciDevice = "0x2293", .hasUsb = true, .usbVendor = "0781",
                         .usbProduct = "5567"};
    expectDisk(facts, Kind::Scsi,
               {.type = "Removable", .label = "MY STICK", .fileSystem = "FAT32", .busType = "USB",
                .name = "SanDisk Cruzer", .vendorId = "0x0781", .productId = "0x5567", .serialNumber = "4C53"});

    // An empty USB id replaces the controller's, rather than showing it.
    facts.usbProduct.clear();
    facts.vendorEncoded.clear();
    facts.vendor.clear();
    expectDisk(facts, Kind::Scsi,
               {.type = "Removable", .label = "MY STICK", .fileSystem = "FAT32", .busType = "USB", .name = "Cruzer",
                .vendorId = "0x0781", .productId = "", .serialNumber = "4C53"});

    // The USB rule belongs to SCSI disks only; a vfat without a version has
    // no file system text.
    facts.fsVersion.clear();
    expectDisk(facts, Kind::Extended,
               {.type = "Fixed", .label = "MY STICK", .fileSystem = "", .busType = "USB", .name = "Cruzer",
                .vendorId = "0x17aa", .productId = "0x2293", .serialNumber = "4C53"});
}

TEST(LogicalDiskRules, NvmeTakesTheControllerModel)
{
    PartitionFacts facts{.vendor = "Samsung", .model = "SSD_980", .bus = "nvme", .hasNvme = true,
                         .nvmeModel = "Samsung SSD 980 1TB"};
    expectDisk(facts, Kind::Extended, {.type = "Fixed", .busType = "NVMe", .name = "Samsung SSD 980 1TB"});

    // Major 259 without an NVMe controller (a partitioned loop device) keeps its own facts.
    facts.hasNvme = false;
    expectDisk(facts, Kind::Extended, {.type = "Fixed", .busType = "NVME", .name = "Samsung SSD_980"});

    // The NVMe rule belongs to major 259 only.
    facts.hasNvme = true;
    expectDisk(facts, Kind::Scsi, {.type = "Fixed", .busType = "NVME", .name = "Samsung SSD_980"});
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
