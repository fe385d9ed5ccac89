// SPDX-License-Identifier: Apache-2.0
// The logical-disk text rules, without the system.
#include "providers/disk/LogicalDiskRules.h"

#include <gtest/gtest.h>

#include <algorithm>

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"  // the cases name only the facts they have

using R = LogicalDiskRules;

TEST(LogicalDiskRules, MountTableFieldsAndTheirOctalEscapes)
{
    const std::pair<std::string, std::string> fields[] = {
        {"/media/MY\\040STICK", "/media/MY STICK"}, {"tab\\011nl\\012back\\134", "tab\tnl\nback\\"}, {"\\040", " "},
        {"end\\040", "end "}, {"\\400\\08x\\1\\04", "\\400\\08x\\1\\04"}, {"\\377", "\377"}, {"", ""}};
    for (const auto& [field, decoded] : fields) EXPECT_EQ(R::decodeMountField(field), decoded) << field;
    // The first two fields of each line; shorter lines are skipped.
    const MountTable table = R::parseMountTable("sysfs /sys sysfs rw 0 0\n\nlonely\n/dev/sdb1 /a\\040b vfat rw 0 0\n"
                                                "/dev/sdb1\t/mnt/second tmpfs\n /dev/sda2   /c");
    EXPECT_EQ(table, (MountTable{{"sysfs", "/sys"}, {"/dev/sdb1", "/a b"}, {"/dev/sdb1", "/mnt/second"},
                                 {"/dev/sda2", "/c"}}));
    EXPECT_EQ(R::joinDirectories(R::mountDirectories(table, "/dev/sdb1")), "/a b;/mnt/second");
    EXPECT_TRUE(R::mountDirectories(table, "/dev/sdb").empty());
}

// udev's order of enumerated partitions: by path, md and dm devices last.
TEST(LogicalDiskRules, PartitionsInUdevOrder)
{
    std::vector<std::string> paths = {"/sys/devices/virtual/block/md0/md0p1", "/sys/devices/virtual/block/loop0/loop0p1",
                                      "/sys/devices/virtual/block/dm-0/dm-0p1", "/sys/devices/pci0000:00/1d.0/nvme0n1p1",
                                      "/sys/devices/pci0000:00/17.0/block/sda/sda2", "/sys/devices/pci0000:00/17.0/block/sda/sda1"};
    std::sort(paths.begin(), paths.end(), R::enumeratedBefore);
    EXPECT_EQ(paths, (std::vector<std::string>{"/sys/devices/pci0000:00/17.0/block/sda/sda1",
                                               "/sys/devices/pci0000:00/17.0/block/sda/sda2",
                                               "/sys/devices/pci0000:00/1d.0/nvme0n1p1",
                                               "/sys/devices/virtual/block/loop0/loop0p1",
                                               "/sys/devices/virtual/block/dm-0/dm-0p1",
                                               "/sys/devices/virtual/block/md0/md0p1"}));
}

TEST(LogicalDiskRules, ValuesAndSizes)
{
    EXPECT_EQ(R::plainValue(nullptr), "");
    EXPECT_EQ(R::plainValue("  FAT32 \n"), "FAT32");
    // Blanks that udev pads with are escaped too, and go with the trimming.
    EXPECT_EQ(R::encodedValue("back\\x5cslash\\x20\\x20"), "back\\slash");
    // MiB truncated, the fragment size before the block size, no wrap-around at the top of the range.
    EXPECT_EQ(R::megabytes(16384, 4096, 65536), 64U);
    EXPECT_EQ(R::megabytes(511, 0, 4096), 1U);
    EXPECT_EQ(R::megabytes(UINT64_MAX, 4096, 4096), uint64_t{1} << 56);
    EXPECT_EQ(R::megabytes(UINT64_MAX, uint64_t{1} << 21, 0), UINT64_MAX);
    EXPECT_EQ(R::formatMegabytes(0), std::nullopt);
    EXPECT_EQ(R::formatMegabytes(UINT64_MAX), "18446744073709551615");
}

TEST(LogicalDiskRules, DiskRecordFromPartitionFacts)
{
    const PartitionFacts stick{.labelEncoded = "MY STICK", .label = "MY_STICK", .fsType = "vfat", .fsVersion = "FAT32",
                               .serialShort = "4C53", .serial = "SanDisk_4C53", .vendorEncoded = "SanDisk",
                               .vendor = "SanDisk_", .model = "Cruzer", .bus = "usb", .hasPci = true,
                               .pciVendor = "0x17aa", .pciDevice = "0x2293", .hasUsb = true, .usbVendor = "0781"};
    PartitionFacts nvme{.devName = "/dev/x", .label = "root", .fsType = "ext4", .serial = "S6", .vendor = "Sam",
                        .model = "SSD_980", .bus = "nvme", .hasNvme = true, .nvmeModel = "Samsung SSD 980"};
    PartitionFacts loop = nvme;  // major 259 without an NVMe controller: a partitioned loop device
    loop.hasNvme = false;
    PartitionFacts usbExtended = stick;
    usbExtended.fsVersion.clear();
    const std::tuple<PartitionFacts, R::Kind, std::string> cases[] = {
        // USB ids, an empty one too, replace the controller's on SCSI disks only; a vfat's text is its version.
        {stick, R::Kind::Scsi, "|Removable|MY STICK|FAT32|USB|SanDisk Cruzer|0x0781||4C53"},
        {usbExtended, R::Kind::Extended, "|Fixed|MY STICK||USB|SanDisk Cruzer|0x17aa|0x2293|4C53"},
        {nvme, R::Kind::Extended, "/dev/x|Fixed|root|ext4|NVMe|Samsung SSD 980|||S6"},
        {loop, R::Kind::Extended, "/dev/x|Fixed|root|ext4|NVME|Sam SSD_980|||S6"}};
    for (const auto& [facts, kind, expected] : cases) {
        const Disk d = R::diskFromFacts(facts, kind);
        EXPECT_EQ(d.devName + "|" + d.type + "|" + d.label + "|" + d.fileSystem + "|" + d.busType + "|" + d.name + "|" +
                      d.vendorId + "|" + d.productId + "|" + d.serialNumber, expected);
    }
}
