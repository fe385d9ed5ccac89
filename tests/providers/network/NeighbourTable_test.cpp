// SPDX-License-Identifier: Apache-2.0
#include "providers/network/NeighbourTable.h"

#include <gtest/gtest.h>

TEST(NeighbourTable, ArpTableEntries)
{
    const std::string table =
        "IP address       HW type     Flags       HW address            Mask     Device\n"
        "192.168.1.1      0x1         0x2         aa:bb:cc:dd:ee:ff     *        eth0\n"
        "192.168.1.1      0x1         0x6         11:22:33:44:55:66     *        wlan0\n"
        "192.168.1.9      0x1         0x0         00:00:00:00:00:00     *        eth0\n"
        "10.0.0.1         0x1         0x2         01:02:03:04:05:06     *        e$(id)\n";
    struct Case {
        const char* address;
        const char* interface;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"192.168.1.1", "eth0", "aa:bb:cc:dd:ee:ff"},
        {"192.168.1.1", "wlan0", "11:22:33:44:55:66"},
        {"192.168.1.1", "eth1", ""},                 // another interface
        {"192.168.1.2", "eth0", ""},                 // no entry
        {"192.168.1.9", "eth0", ""},                 // incomplete
        {"10.0.0.1", "e$(id)", "01:02:03:04:05:06"},  // a name the kernel allows is only a name
        {"10.0.0.1;touch /tmp/y;#", "eth0", std::nullopt},
        {"192.168.1.1 ", "eth0", std::nullopt},
        {"fe80::1", "eth0", std::nullopt},
        {"", "eth0", std::nullopt},
        {"192.168.1.1", "e$(touch${IFS}/tmp/x)", std::nullopt},
        {"192.168.1.1", "eth0 -a", std::nullopt},
        {"192.168.1.1", "", std::nullopt},
        {"192.168.1.1", "..", std::nullopt},
        {"192.168.1.1", "sixteen-bytes-xx", std::nullopt},
    };
    for (const Case& test : cases) {
        EXPECT_EQ(NeighbourTable::fromArpTable(table, test.address, test.interface), test.expected)
            << test.address << " on " << test.interface;
    }
    EXPECT_EQ(NeighbourTable::fromArpTable(table, "192.168.1.1", std::string("eth0\0x", 6)), std::nullopt);
    EXPECT_EQ(NeighbourTable::fromArpTable("", "192.168.1.1", "eth0"), "");
}
