// SPDX-License-Identifier: Apache-2.0
// The hardware provider against real services: UPower and systemd's hostname
// and manager objects as python-dbusmock services on a private system bus,
// firmware files and /proc/cpuinfo mounted at their fixed paths in the test
// process's own mount namespace, and dmidecode as a script first on PATH.
#include "providers/device/HardwareProvider.h"

#include "support/Categories.h"
#include "support/LogWatch.h"
#include "support/MainLoop.h"
#include "support/MountNamespace.h"
#include "support/SystemBus.h"
#include "support/TempDir.h"
#include "support/UPowerService.h"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <stdexcept>
#include <thread>
#include <tuple>

using namespace TestSupport;

namespace {

using Hw = HardwareProvider;

std::string readOne(const PropertyKey& key)
{
    const PropertyMap properties = readProvider<HardwareProvider>("Hardware", 1, static_cast<int32_t>(key.bit));
    return properties.size() == 1 ? properties.at(key.key) : "<" + std::to_string(properties.size()) + " keys>";
}

// dmidecode printing `output` and exiting with `status`; each run is recorded.
// With `tables`, the kernel's copy of the firmware tables is there for it to
// read (on a tmpfs over /sys/firmware).
struct FakeDmidecode {
    TempDir dir;
    ScopedEnv path{"PATH", pathWith(dir.path())};
    std::optional<ScopedTmpfs> firmware;
    explicit FakeDmidecode(const std::string& output, int status = 0, bool tables = true)
    {
        dir.script("dmidecode", "echo \"LC_ALL=$LC_ALL $*\" >> '" + dir.file("runs") + "'\nprintf '" + output +
                                    "'\nexit " + std::to_string(status));
        if (tables) {
            firmware.emplace("/sys/firmware");
            firmware->write("dmi/tables/smbios_entry_point", "_SM3_");
        }
    }
    std::string runs() const { return readWhole(dir.file("runs")); }
};

// hostnamed's chassis and systemd's virtualisation: python-dbusmock objects with one string property.
struct StringProperty {
    const char* busName;
    std::vector<std::string> arguments;
    const char *object, *interface, *name;
};
const StringProperty kChassis{"org.freedesktop.hostname1",
                              {"org.freedesktop.hostname1", "/org/freedesktop/hostname1", "org.freedesktop.hostname1"},
                              "/org/freedesktop/hostname1", "org.freedesktop.hostname1", "Chassis"};
const StringProperty kVirtualization{"org.freedesktop.systemd1", {"-t", "systemd"}, "/org/freedesktop/systemd1",
                                     "org.freedesktop.systemd1.Manager", "Virtualization"};

struct StringService {
    const StringProperty& p;
    BusService service{p.busName, p.arguments};
    StringService(const StringProperty& property, const char* initial) : p(property)
    {
        service.addProperty(p.object, p.interface, p.name, g_variant_new_string(initial));
    }
    void set(const char* value) { service.setProperty(p.object, p.interface, p.name, g_variant_new_string(value)); }
};

class HardwareProviderTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { SystemBus::instance(); }
};

}  // namespace

TEST_F(HardwareProviderTest, FirmwareProcessorAndBootFacts)
{
    ScopedTmpfs sysfs("/sys/devices/virtual");
    const std::pair<const char*, const char*> dates[] = {
        {"03/15/2019\n", "2019-03-15T00:00:00Z"}, {"2020-12-31\n", "2020-12-31"}, {"", ""}};
    for (const auto& [date, expected] : dates) {
        sysfs.write("dmi/id/bios_date", date);
        EXPECT_EQ(readOne(Hw::kBiosReleaseDate), expected) << date;
    }
    EXPECT_EQ(readOne(Hw::kVendor), "Unavailable");
    sysfs.write("dmi/id/sys_vendor", "  LENOVO\n");
    sysfs.write("dmi/id/product_name", " \n");
    EXPECT_EQ(readOne(Hw::kVendor), "LENOVO");
    EXPECT_EQ(readOne(Hw::kModel), "Unavailable");

    // {/proc/cpuinfo, speed, error}
    const std::tuple<const char*, const char*, const char*> processors[] = {
        {"processor\t: 0\ncpu MHz\t\t: 1795.781\n\nprocessor\t: 1\ncpu MHz\t\t: 2400.000\n", "1796", nullptr},
        {"processor\t: 0\rcpu MHz\t\t: 800.4\rflags\t\t: fpu\r", "800", nullptr},
        {"processor\t: 0\nBogoMIPS\t: 48.00\n", "Unavailable", nullptr},
        {"processor\t: 0\ncpu MHz\t\t1795.781\n", "Unavailable", nullptr},
        {"processor\t: 0\ncpu MHz\t\t: 1795.781", "Unavailable", nullptr},
        {"processor\t: 0\ncpu MHz\t\t: 1e999\n", "Unavailable", nullptr},
        {"processor\t: 0\ncpu MHz\t\t: unknown\nflags\t\t: fpu\n", "Unavailable", "[unknown]"},
    };
    for (const auto& [cpuinfo, speed, error] : processors) {
        TempDir dir;
        ScopedMount mount(dir.write("cpuinfo", cpuinfo), "/proc/cpuinfo");
        LogWatch log;
        EXPECT_EQ(readOne(Hw::kCpuSpeed), speed) << cpuinfo;
        EXPECT_EQ(log.contains(std::string("ERROR - Failed to parse frequency ") + (error ? error : "")), error != nullptr)
            << log.text();
    }

    ScopedTmpfs firmware("/sys/firmware");
    const std::pair<std::optional<std::string>, const char*> modes[] = {
        {"secure-boot", "true"}, {"UEFI SecureBoot", "true"}, {"uefi", "false"}, {std::nullopt, "false"}};
    {
        ScopedEnv mode("BOOTMODE", "secure-boot");
        EXPECT_EQ(readOne(Hw::kSecureBoot), "false");  // booted without UEFI
    }
    firmware.makeDirectory("efi");
    for (const auto& [mode, expected] : modes) {
        ScopedEnv variable("BOOTMODE", mode);
        EXPECT_EQ(readOne(Hw::kSecureBoot), expected) << mode.value_or("<unset>");
    }

    // The serial comes from dmidecode. Where it can read no firmware tables
    // (none in /sys/firmware, and no /dev/mem on this machine) it is not
    // started; with them it runs; without the rights to read them it fails.
    if (access("/dev/mem", R_OK) != 0) {
        FakeDmidecode dmidecode("PF2ABCDE\n", 0, false);
        EXPECT_EQ(readOne(Hw::kBiosSerial), "Unavailable");
        EXPECT_EQ(dmidecode.runs(), "");
    }
    for (const auto& [status, expected] : {std::pair{0, "PF2ABCDE"}, std::pair{1, "Unavailable"}}) {
        FakeDmidecode dmidecode(" PF2ABCDE \n", status);
        EXPECT_EQ(readOne(Hw::kBiosSerial), expected);
        EXPECT_EQ(dmidecode.runs(), "LC_ALL=C -s system-serial-number\n");
    }
    // Its answer holds for the process while dmidecode and the firmware's
    // serial file stay as they were: a new connection starts no program.
    FakeDmidecode dmidecode("PF2ABCDE\n");
    sysfs.write("dmi/id/product_serial", "PF2ABCDE\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));  // older than any file system's tick
    EXPECT_EQ(readOne(Hw::kBiosSerial), "PF2ABCDE");
    EXPECT_EQ(readOne(Hw::kBiosSerial), "PF2ABCDE");
    EXPECT_EQ(dmidecode.runs(), "LC_ALL=C -s system-serial-number\n");
    sysfs.write("dmi/id/product_serial", "PF2ABCDF\n");
    EXPECT_EQ(readOne(Hw::kBiosSerial), "PF2ABCDE");
    EXPECT_EQ(dmidecode.runs(), "LC_ALL=C -s system-serial-number\nLC_ALL=C -s system-serial-number\n");
}

TEST_F(HardwareProviderTest, RoleAndVirtualisationFromSystemd)
{
    StringService hostname(kChassis, "desktop");
    const std::pair<const char*, const char*> roles[] = {
        {"desktop", "Desktop"}, {"LAPTOP", "Laptop"}, {"convertible", "Laptop"}, {"server", "Server"},
        {"tablet", "Tablet"},   {"vm", "Virtual"},    {"handset", "Unavailable"}, {"", "Unavailable"}};
    for (const auto& [chassis, role] : roles) {
        hostname.set(chassis);
        EXPECT_EQ(readOne(Hw::kRole), role) << chassis;
    }
    StringService manager(kVirtualization, "vmware");
    const std::pair<const char*, const char*> words[] = {
        {"vmware", "VMware"}, {"microsoft", "Hyper-V"}, {"xen", "Xen"}, {"parallels", "Parallels"},
        {"kvm", "kvm"},       {"VMware", "VMware"},     {"", "None"}};
    for (const auto& [word, value] : words) {
        manager.set(word);
        EXPECT_EQ(readOne(Hw::kVirtualization), value) << word;
    }
    hostname.service.stop();
    manager.service.stop();
    LogWatch log;
    EXPECT_EQ(readOne(Hw::kRole), "Unavailable");
    EXPECT_EQ(readOne(Hw::kVirtualization), "Unavailable");
    EXPECT_TRUE(log.contains("ERROR - Failed to query chassis from systemd error [-")) << log.text();
    EXPECT_TRUE(log.contains("ERROR - Failed to locate virtualization error [org.freedesktop.DBus.Error.ServiceUnknown]"));
}

TEST_F(HardwareProviderTest, LaterReadingsKeepEverythingButTheLid)
{
    {
        // A closed lid that is not there: a desktop; no UPower at all the same.
        UPowerService upower({false, true});
        EXPECT_EQ(readOne(Hw::kLid), "Unavailable");
    }
    EXPECT_EQ(readOne(Hw::kLid), "Unavailable");

    FakeDmidecode dmidecode("PF2ABCDE");
    StringService hostname(kChassis, "laptop");
    UPowerService upower({true, false});
    HardwareProvider provider(category("Hardware"), "20.1");
    const PropertyMap initial = provider.getProperties().get();
    EXPECT_EQ(initial.size(), 13U);
    EXPECT_EQ(initial.at(Hw::kRole.key), "Laptop");
    EXPECT_EQ(initial.at(Hw::kLid.key), "Open");
    EXPECT_EQ(initial.at(Hw::kBiosSerial.key), "PF2ABCDE");

    // Everything changes, but only the lid is read again.
    hostname.service.stop();
    upower.setLidClosed(true);
    std::future<PropertyMap> second = provider.getProperties();
    ASSERT_EQ(second.wait_for(std::chrono::seconds(0)), std::future_status::ready);
    PropertyMap expected = initial;
    expected[Hw::kLid.key] = "Closed";
    EXPECT_EQ(second.get(), expected);
    EXPECT_EQ(dmidecode.runs(), "LC_ALL=C -s system-serial-number\n");
}

TEST_F(HardwareProviderTest, LidChangesReachTheEngineUntilClosed)
{
    UPowerService upower({true, false});
    HardwareProvider provider(category("Hardware", 1, 0x1000), "20.1");
    std::atomic<int> calls{0};
    provider.monitorForChanges([&](std::shared_ptr<Category const> category) {
        EXPECT_EQ(category, provider.category());
        ++calls;
    });
    provider.awaitMonitoring();
    ASSERT_EQ(provider.getProperties().get().at(Hw::kLid.key), "Open");
    upower.setLidClosed(true);
    ASSERT_TRUE(waitUntil([&] { return calls > 0; }));
    EXPECT_EQ(provider.getProperties().get(), (PropertyMap{{Hw::kLid.key, "Closed"}}));

    // Closed from another thread, twice: no more calls.
    std::thread([&] { provider.close(); }).join();
    provider.close();
    const int before = calls;
    upower.setLidClosed(false);
    EXPECT_FALSE(waitUntil([&] { return calls > before; }, std::chrono::milliseconds(200)));
    EXPECT_EQ(provider.getProperties().get(), (PropertyMap{{Hw::kLid.key, "Open"}}));

    // A callback that throws is logged and ends nothing.
    LogWatch log;
    provider.monitorForChanges([](std::shared_ptr<Category const>) { throw std::runtime_error("engine gone"); });
    provider.awaitMonitoring();
    upower.setLidClosed(true);
    const char* reported = "ERROR - Failed to report changes of [Hardware] error [engine gone]";
    EXPECT_TRUE(waitUntil([&] { return log.contains(reported); })) << log.text();
    provider.close();
}

TEST_F(HardwareProviderTest, AFactAHungServiceDidNotTellIsAskedAgain)
{
    // The facts are read once, but a chassis hostnamed did not tell within the bus's answer limit is not a fact.
    StringService hostname(kChassis, "laptop");
    HardwareProvider provider(category("Hardware"), "20.1");
    hostname.service.pause();
    LogWatch log;
    EXPECT_EQ(provider.getProperties().get().at(Hw::kRole.key), "Unavailable");
    EXPECT_TRUE(log.contains("ERROR - Failed to query chassis from systemd error [-110]")) << log.text();
    hostname.service.resume();
    EXPECT_EQ(provider.getProperties().get().at(Hw::kRole.key), "Laptop");
    EXPECT_EQ(provider.getProperties().get().at(Hw::kRole.key), "Laptop");
}
