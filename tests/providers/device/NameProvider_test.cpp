// SPDX-License-Identifier: Apache-2.0
#include "providers/device/NameProvider.h"

#include "support/Categories.h"
#include "support/MainLoop.h"
#include "support/MountNamespace.h"
#include "support/SystemBus.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <fstream>
#include <functional>
#include <optional>

using TestSupport::readProvider;

TEST(NameProvider, DeviceIdIsTheMachineIdAsALittleEndianGuid)
{
    // Version and variant bits are forced whatever the machine id holds.
    const std::pair<std::array<uint8_t, 16>, const char*> ids[] = {
        {{{0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}},
         "33221100-5544-7746-8899-AABBCCDDEEFF"},
        {{{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
         "FFFFFFFF-FFFF-FF4F-BFFF-FFFFFFFFFFFF"},
        {{}, "00000000-0000-0040-8000-000000000000"},
    };
    for (const auto& [bytes, id] : ids) EXPECT_EQ(NameProvider::formatDeviceId(bytes), id);
    // The machine id's file, read without libsystemd: 32 hexadecimal digits, a newline after them allowed.
    const std::array<uint8_t, 16> bytes{0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                        0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
    EXPECT_EQ(NameProvider::parseMachineId("00112233445566778899aabbccddeeff\n"), bytes);
    EXPECT_EQ(NameProvider::parseMachineId("00112233445566778899AABBCCDDEEFF"), bytes);
    for (const char* text : {"", "uninitialized\n", "00112233445566778899aabbccddeef\n",
                             "00112233445566778899aabbccddeeff0", "0011223344556677-899aabbccddeeff",
                             "00112233445566778899aabbccddeeff\n\n"}) {
        EXPECT_EQ(NameProvider::parseMachineId(text), std::nullopt) << text;
    }
}

TEST(NameProvider, ReportsNodeNameDnsNameAndIdWhenSelected)
{
    utsname system{};
    ASSERT_EQ(uname(&system), 0);
    const PropertyMap all = readProvider<NameProvider>("Name");
    ASSERT_EQ(all.size(), 3U);
    EXPECT_EQ(all.at("DEVICE_NAME"), system.nodename);
    EXPECT_EQ(all.at("DEVICE_ID"), NameProvider::getDeviceId());
    EXPECT_EQ(readProvider<NameProvider>("Name", 1, 0x20 | 0x02 | 0x04 | 0x10).size(), 1U);  // DEVICE_ID only
}

// The DNS name is the canonical name of the node name, the first name of its hosts line; the services database,
// which lacks the web service on some endpoints or is missing, plays no part.
TEST(NameProvider, DnsNameIsTheCanonicalNameWhateverTheServicesDatabaseHolds)
{
    utsname system{};
    ASSERT_EQ(uname(&system), 0);
    const TestSupport::TempDir dir;
    std::ofstream(dir.file("hosts")) << "127.0.1.1 " << system.nodename << ".branch.example " << system.nodename << "\n";
    std::ofstream(dir.file("services")) << "ssh 22/tcp\n";
    const TestSupport::ScopedMount hosts(dir.file("hosts"), "/etc/hosts");
    const std::string expected = std::string(system.nodename) + ".branch.example";
    for (const std::string& services : {std::string("/etc/services"), dir.file("services"), std::string("/dev/null")}) {
        const TestSupport::ScopedMount database(services, "/etc/services");
        EXPECT_EQ(readProvider<NameProvider>("Name", 1, 0x08).at("DEVICE_NAME_DNS"), expected) << services;
    }
}

// The kernel announces a new host name (set here in a child's own UTS namespace: the announcement reaches every
// watcher), systemd-hostnamed its host names changing and its going away; the provider passes each on until closed.
TEST(NameProvider, HostNameChangesAreAnnouncedUntilClose)
{
    TestSupport::SystemBus::instance();
    constexpr const char* kName = "org.freedesktop.hostname1";
    constexpr const char* kPath = "/org/freedesktop/hostname1";
    std::optional<TestSupport::BusService> hostnamed(std::in_place, kName, std::vector<std::string>{kName, kPath, kName});
    hostnamed->addProperty(kPath, kName, "Hostname", g_variant_new_string("before"));
    std::atomic<int> changes{0};
    NameProvider provider(TestSupport::category("Name"), "20.1");
    provider.monitorForChanges([&changes](std::shared_ptr<Category const> changed) {
        changes += changed->name == "Name" ? 1 : 0;
    });
    provider.awaitMonitoring();
    const auto rename = [] {
        const pid_t child = fork();
        if (child == 0) _exit(unshare(CLONE_NEWUTS) == 0 && sethostname("renamed", 7) == 0 ? 0 : 1);
        int status = 1;
        return waitpid(child, &status, 0) == child && status == 0;
    };
    const std::vector<std::pair<const char*, std::function<void()>>> steps = {
        {"kernel", [&] { ASSERT_TRUE(rename()); }},
        {"hostnamed", [&] { hostnamed->setProperty(kPath, kName, "Hostname", g_variant_new_string("after")); }},
        {"hostnamed gone", [&] { hostnamed.reset(); }},
    };
    for (const auto& [what, step] : steps) {
        const int before = changes;
        step();
        EXPECT_TRUE(TestSupport::waitUntil([&] { return changes > before; })) << what;
    }
    provider.close();
    const int closed = changes;
    ASSERT_TRUE(rename());
    EXPECT_FALSE(TestSupport::waitUntil([&] { return changes > closed; }, std::chrono::milliseconds(100)));
}
