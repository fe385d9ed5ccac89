// SPDX-License-Identifier: Apache-2.0
// The sysfs text rules, without the system.
#include "base/Sysfs.h"

#include <gtest/gtest.h>

namespace Sysfs = Base::Sysfs;

// Where the class links lead, the directories above a device, and the uevent lines that tell a device's type.
TEST(Sysfs, LinkTargetsParentsAndUeventValues)
{
    EXPECT_EQ(Sysfs::linkTarget("/sys/class/block", "../../devices/pci0000:00/0000:00:17.0/ata1/block/sda/sda1"),
              "/sys/devices/pci0000:00/0000:00:17.0/ata1/block/sda/sda1");
    EXPECT_EQ(Sysfs::linkTarget("/sys/class/block", "./../.././../../x//y/"), "/x/y");
    EXPECT_EQ(Sysfs::linkTarget("/sys/class/input", "/sys/devices/virtual/input/input3"),
              "/sys/devices/virtual/input/input3");

    EXPECT_EQ(Sysfs::parentDirectories("/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1/block/sdb/sdb1/"),
              (std::vector<std::string>{"/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1/block/sdb",
                                        "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1/block",
                                        "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1",
                                        "/sys/devices/pci0000:00/0000:00:14.0/usb1",
                                        "/sys/devices/pci0000:00/0000:00:14.0", "/sys/devices/pci0000:00"}));
    EXPECT_EQ(Sysfs::parentDirectories("/sys/devices//a//b"), (std::vector<std::string>{"/sys/devices//a"}));
    for (const char* outside : {"/sys/devices/virtual", "/sys/devices", "/sys/devices//x", "/sys/class/block/sda1", "",
                                "devices/a/b"}) {
        EXPECT_TRUE(Sysfs::parentDirectories(outside).empty()) << outside;
    }

    const std::string uevent = "MAJOR=189\nDEVTYPEX=no\nDEVTYPE=usb_device\nDEVNAME=bus/usb/001/002\nEMPTY=";
    const std::pair<const char*, const char*> values[] = {
        {"DEVTYPE", "usb_device"}, {"DEVNAME", "bus/usb/001/002"}, {"EMPTY", ""}, {"TYPE", ""}, {"MAJOR", "189"}};
    for (const auto& [key, value] : values) EXPECT_EQ(Sysfs::ueventValue(uevent, key), value) << key;
    EXPECT_EQ(Sysfs::ueventValue("", "DEVTYPE"), "");
}
