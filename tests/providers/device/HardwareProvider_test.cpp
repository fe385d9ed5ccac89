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

#include <chrono>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

using TestSupport::BusService;
using TestSupport::LogWatch;
using TestSupport::ScopedBindMount;
using TestSupport::ScopedEnv;
using TestSupport::ScopedTmpfs;
using TestSupport::TempDir;
using TestSupport::UPowerService;

namespace {

using Hw = HardwareProvider;

constexpr const char* kHostnameObject = "/org/freedesktop/hostname1";
constexpr const char* kHostnameInterface = "org.freedesktop.hostname1";
constexpr const char* kManagerObject = "/org/freedesktop/systemd1";
constexpr const char* kManagerInterface = "org.freedesktop.systemd1.Manager";

PropertyMap read(int32_t status, int32_t filter = 0)
{
    return TestSupport::readProvider<HardwareProvider>("Hardware", status, filter);
}

std::string readOne(const PropertyKey& key)
{
    const PropertyMap properties = read(1, static_cast<int32_t>(key.bit));
    return properties.size() == 1 ? properties.at(key.key) : "<" + std::to_string(properties.size()) + " keys>";
}

bool isReady(const std::future<PropertyMap>& future)
{
    return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}

// The firmware's facts in /sys/devices/virtual/dmi/id: an empty tmpfs over
// /sys/devices/virtual, so every file is missing until set.
class FakeDmi {
public:
    FakeDmi() : _sysfs("/sys/devices/virtual") {}
    void set(const std::string& name, const std::string& content) { _sysfs.write("dmi/id/" + name, content); }

private:
    ScopedTmpfs _sysfs;
};

// Another /proc/cpuinfo.
class FakeCpuInfo {
public:
    explicit FakeCpuInfo(const std::string& content) : _mount(_dir.write("cpuinfo", content), "/proc/cpuinfo") {}

private:
    TempDir _dir;
    ScopedBindMount _mount;
};

// dmidecode printing `output` and exiting with `status`; each run is
// recorded with its LC_ALL and arguments.
class FakeDmidecode {
public:
    explicit FakeDmidecode(const std::string& output, int status = 0)
        : _path("PATH", TestSupport::pathWith(_dir.path()))
    {
        _dir.write("output", output);
        _dir.script("dmidecode", "echo \"LC_ALL=$LC_ALL $*\" >> '" + _dir.file("runs") + "'\ncat '" +
                                     _dir.file("output") + "'\nexit " + std::to_string(status));
    }
    std::string runs() const { return TestSupport::readWhole(_dir.file("runs")); }

private:
    TempDir _dir;
    ScopedEnv _path;
};

// systemd-hostnamed's object with its Chassis property.
class HostnameService {
public:
    explicit HostnameService(const std::string& chassis)
        : _service("org.freedesktop.hostname1", {"org.freedesktop.hostname1", kHostnameObject, kHostnameInterface})
    {
        _service.addProperty(kHostnameObject, kHostnameInterface, "Chassis", g_variant_new_string(chassis.c_str()));
    }
    void setChassis(const std::string& chassis)
    {
        _service.setProperty(kHostnameObject, kHostnameInterface, "Chassis", g_variant_new_string(chassis.c_str()));
    }
    void stop() { _service.stop(); }

private:
    BusService _service;
};

// systemd's manager object (python-dbusmock's systemd template); with a
// virtualisation word unless none is given.
class SystemdService {
public:
    explicit SystemdService(const std::optional<std::string>& virtualization)
        : _service("org.freedesktop.systemd1", {"-t", "systemd"})
    {
        if (virtualization) {
            _service.addProperty(kManagerObject, kManagerInterface, "Virtualization",
                                 g_variant_new_string(virtualization->c_str()));
        }
    }
    void setVirtualization(const std::string& word)
    {
        _service.setProperty(kManagerObject, kManagerInterface, "Virtualization", g_variant_new_string(word.c_str()));
    }
    void stop() { _service.stop(); }

private:
    BusService _service;
};

// A UPower client of the test's own that counts the "notify" signals it
// gets. Made after the provider's, it receives each change after the
// provider's client: once it saw a change, the provider's handlers have run.
class NotifyObserver {
public:
    NotifyObserver() : _client(up_client_new())
    {
        if (!_client) {
            throw std::runtime_error("no UPower client");
        }
        g_signal_connect(_client.get(), "notify", G_CALLBACK(&NotifyObserver::count), &_notifications);
    }
    int notifications() const { return _notifications; }
    bool waitForMore(int seen) const
    {
        return TestSupport::iterateUntil([&] { return _notifications > seen; });
    }

private:
    static void count(UpClient*, GParamSpec*, gpointer counter) { ++*static_cast<int*>(counter); }

    int _notifications = 0;
    Base::GObjectHandle<UpClient> _client;
};

std::string firstField(const std::string& text, const std::string& name)
{
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(name, 0) == 0 && line.find(':') != std::string::npos) {
            std::string value = line.substr(line.find(':') + 1);
            value.erase(0, value.find_first_not_of(" \t"));
            return value;
        }
    }
    return {};
}

class HardwareProviderTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { TestSupport::SystemBus::instance(); }
};

}  // namespace

TEST_F(HardwareProviderTest, FirmwareFactsFromDmiFiles)
{
    const uint32_t firmware = Hw::kVendor.bit | Hw::kModel.bit | Hw::kBiosVersion.bit | Hw::kBiosReleaseDate.bit;
    FakeDmi dmi;
    EXPECT_EQ(read(1, firmware), (PropertyMap{{Hw::kVendor.key, "Unavailable"},
                                              {Hw::kModel.key, "Unavailable"},
                                              {Hw::kBiosVersion.key, ""},
                                              {Hw::kBiosReleaseDate.key, ""}}));

    dmi.set("sys_vendor", "  LENOVO\n");
    dmi.set("product_name", "ThinkCentre M75q Gen 2\n");
    dmi.set("bios_version", "M3BKT2FA\n");
    dmi.set("bios_date", "03/15/2019\n");
    EXPECT_EQ(read(1, firmware), (PropertyMap{{Hw::kVendor.key, "LENOVO"},
                                              {Hw::kModel.key, "ThinkCentre M75q Gen 2"},
                                              {Hw::kBiosVersion.key, "M3BKT2FA"},
                                              {Hw::kBiosReleaseDate.key, "2019-03-15T00:00:00Z"}}));

    dmi.set("sys_vendor", "");
    dmi.set("product_name", " \n");
    dmi.set("bios_version", "\n");
    dmi.set("bios_date", "2020-12-31\n");
    EXPECT_EQ(read(1, firmware), (PropertyMap{{Hw::kVendor.key, "Unavailable"},
                                              {Hw::kModel.key, "Unavailable"},
                                              {Hw::kBiosVersion.key, ""},
                                              {Hw::kBiosReleaseDate.key, "2020-12-31"}}));

    dmi.set("bios_date", "12/31/2020");
    EXPECT_EQ(readOne(Hw::kBiosReleaseDate), "2020-12-31T00:00:00Z");
}

TEST_F(HardwareProviderTest, CpuSpeedIsTheFirstMHzValueRounded)
{
    const std::string processors = "processor\t: 0\nvendor_id\t: GenuineIntel\nmodel name\t: Test CPU\n"
                                   "cpu MHz\t\t: 1795.781\ncache size\t: 512 KB\n\n"
                                   "processor\t: 1\ncpu MHz\t\t: 2400.000\ncache size\t: 512 KB\n";
    {
        FakeCpuInfo cpuinfo(processors);
        EXPECT_EQ(readOne(Hw::kCpuSpeed), "1796");
    }
    {
        // Lines that end in a carriage return alone.
        FakeCpuInfo cpuinfo("processor\t: 0\rcpu MHz\t\t: 800.4\rflags\t\t: fpu\r");
        EXPECT_EQ(readOne(Hw::kCpuSpeed), "800");
    }

    struct Broken {
        const char* cpuinfo;
        const char* log;
    };
    const Broken broken[] = {
        // An ARM processor names no speed.
        {"processor\t: 0\nBogoMIPS\t: 48.00\nFeatures\t: fp asimd\n", "VERBOSE - Unable to find MHz in [processor"},
        {"processor\t: 0\ncpu MHz\t\t1795.781\nflags\t\tfpu\n", "VERBOSE - Unable to find colon in [processor"},
        {"processor\t: 0\ncpu MHz\t\t: 1795.781", "VERBOSE - Unable to find newline in [processor"},
        {"processor\t: 0\ncpu MHz\t\t: unknown\nflags\t\t: fpu\n", "ERROR - Failed to parse frequency [unknown]"},
        {"processor\t: 0\ncpu MHz\t\t: 1e999\nflags\t\t: fpu\n", "ERROR - Failed to parse frequency [1e999]"},
    };
    for (const Broken& file : broken) {
        FakeCpuInfo cpuinfo(file.cpuinfo);
        LogWatch log;
        EXPECT_EQ(readOne(Hw::kCpuSpeed), "Unavailable") << file.cpuinfo;
        EXPECT_TRUE(log.contains(file.log)) << log.text();
    }
}

TEST_F(HardwareProviderTest, ProcessorAndMemoryOfThisMachine)
{
    const std::string cpuinfo = TestSupport::readWhole("/proc/cpuinfo");
    const std::string meminfo = TestSupport::readWhole("/proc/meminfo");
    const PropertyMap facts =
        read(1, Hw::kCpu.bit | Hw::kCpuSpeed.bit | Hw::kCpuCount.bit | Hw::kSystemMemory.bit);
    ASSERT_EQ(facts.size(), 4U);

#if defined(__x86_64__) || defined(__i386__)
    // The processor's own brand text; a hypervisor may show the kernel
    // another name, so only its presence is certain.
    EXPECT_FALSE(facts.at(Hw::kCpu.key).empty());
    EXPECT_NE(facts.at(Hw::kCpu.key), "Unavailable");
#else
    EXPECT_EQ(facts.at(Hw::kCpu.key), "Unavailable");
#endif
    std::size_t processors = 0;
    for (std::size_t at = cpuinfo.find("processor\t"); at != std::string::npos;
         at = cpuinfo.find("processor\t", at + 1)) {
        ++processors;
    }
    EXPECT_EQ(facts.at(Hw::kCpuCount.key), std::to_string(processors));
    // MemTotal is in KiB, the value in MiB.
    EXPECT_EQ(facts.at(Hw::kSystemMemory.key), std::to_string(std::stoull(firstField(meminfo, "MemTotal")) >> 10));
    if (firstField(cpuinfo, "cpu MHz").empty()) {
        EXPECT_EQ(facts.at(Hw::kCpuSpeed.key), "Unavailable");
    } else {
        EXPECT_EQ(facts.at(Hw::kCpuSpeed.key).find_first_not_of("0123456789"), std::string::npos);
    }
}

TEST_F(HardwareProviderTest, SecureBootNeedsTheEfiDirectoryAndASecureBootMode)
{
    ScopedTmpfs firmware("/sys/firmware");
    {
        ScopedEnv mode("BOOTMODE", "secure-boot");
        EXPECT_EQ(readOne(Hw::kSecureBoot), "false");  // booted without UEFI
    }
    firmware.makeDirectory("efi");
    const std::pair<std::optional<std::string>, const char*> modes[] = {
        {"secure-boot", "true"}, {"UEFI SecureBoot", "true"}, {"uefi", "false"}, {"", "false"}, {std::nullopt, "false"},
    };
    for (const auto& [mode, expected] : modes) {
        ScopedEnv variable("BOOTMODE", mode);
        EXPECT_EQ(readOne(Hw::kSecureBoot), expected) << mode.value_or("<unset>");
    }
}

TEST_F(HardwareProviderTest, BiosSerialIsWhatDmidecodePrints)
{
    {
        FakeDmidecode dmidecode("  PF2ABCDE \n");
        EXPECT_EQ(readOne(Hw::kBiosSerial), "PF2ABCDE");
        EXPECT_EQ(dmidecode.runs(), "LC_ALL=C -s system-serial-number\n");
    }
    // An empty serial is what the firmware holds; without the rights to
    // read the firmware tables dmidecode fails.
    for (const auto& [status, expected] : {std::pair{0, ""}, std::pair{1, "Unavailable"}}) {
        FakeDmidecode silent("", status);
        EXPECT_EQ(readOne(Hw::kBiosSerial), expected) << status;
    }
}

TEST_F(HardwareProviderTest, RoleFromTheChassisOfSystemd)
{
    HostnameService hostname("desktop");
    const std::pair<const char*, const char*> roles[] = {
        {"desktop", "Desktop"}, {"LAPTOP", "Laptop"},  {"convertible", "Laptop"},   {"server", "Server"},
        {"tablet", "Tablet"},   {"vm", "Virtual"},     {"handset", "Unavailable"}, {"", "Unavailable"},
    };
    for (const auto& [chassis, role] : roles) {
        hostname.setChassis(chassis);
        EXPECT_EQ(readOne(Hw::kRole), role) << chassis;
    }
    {
        hostname.setChassis("Laptop");
        LogWatch log;
        readOne(Hw::kRole);
        EXPECT_TRUE(log.contains("Systemd reported chassis [Laptop] which was mapped to [Laptop]"));
    }
    hostname.stop();
    LogWatch log;
    EXPECT_EQ(readOne(Hw::kRole), "Unavailable");
    EXPECT_TRUE(log.contains("ERROR - Failed to query chassis from systemd error [-")) << log.text();
}

TEST_F(HardwareProviderTest, VirtualizationFromSystemd)
{
    {
        // A systemd that does not know the property.
        SystemdService systemd(std::nullopt);
        LogWatch log;
        EXPECT_EQ(readOne(Hw::kVirtualization), "Unavailable");
        EXPECT_TRUE(log.contains("ERROR - Failed to locate virtualization error [org.freedesktop.")) << log.text();
    }
    SystemdService systemd("vmware");
    const std::pair<const char*, const char*> words[] = {
        {"vmware", "VMware"}, {"microsoft", "Hyper-V"}, {"xen", "Xen"},     {"parallels", "Parallels"},
        {"kvm", "kvm"},       {"oracle", "oracle"},     {"VMware", "VMware"}, {"", "None"},
    };
    for (const auto& [word, value] : words) {
        systemd.setVirtualization(word);
        EXPECT_EQ(readOne(Hw::kVirtualization), value) << word;
    }
    {
        systemd.setVirtualization("microsoft");
        LogWatch log;
        readOne(Hw::kVirtualization);
        EXPECT_TRUE(log.contains("VERBOSE - Reading virtualisation from systemd"));
        EXPECT_TRUE(log.contains("VERBOSE - Found virtualization [Hyper-V]"));
    }
    systemd.stop();
    LogWatch log;
    EXPECT_EQ(readOne(Hw::kVirtualization), "Unavailable");
    EXPECT_TRUE(log.contains("ERROR - Failed to locate virtualization error [org.freedesktop.DBus.Error.ServiceUnknown] "
                             "description ["))
        << log.text();
}

TEST_F(HardwareProviderTest, LidFromUPower)
{
    {
        UPowerService upower({true, false});
        LogWatch log;
        EXPECT_EQ(readOne(Hw::kLid), "Open");
        EXPECT_TRUE(log.contains("Found lid present [1] closed [0] result [Open]"));
        upower.setLidClosed(true);
        EXPECT_EQ(readOne(Hw::kLid), "Closed");
    }
    {
        // A closed lid that is not there: a desktop.
        UPowerService upower({false, true});
        EXPECT_EQ(readOne(Hw::kLid), "Unavailable");
    }
    ASSERT_FALSE(TestSupport::SystemBus::instance().hasOwner("org.freedesktop.UPower"));
    LogWatch log;
    EXPECT_EQ(readOne(Hw::kLid), "Unavailable");
    EXPECT_FALSE(log.contains("ERROR"));
}

TEST_F(HardwareProviderTest, FilterSelectsKeysAndOnlyTheirWorkRuns)
{
    FakeDmidecode dmidecode("SERIAL1");
    SystemdService systemd("kvm");
    UPowerService upower({true, true});

    EXPECT_EQ(read(1, 0x1000), (PropertyMap{{Hw::kLid.key, "Closed"}}));
    EXPECT_EQ(dmidecode.runs(), "");
    EXPECT_EQ(read(1, 0x0240), (PropertyMap{{Hw::kBiosSerial.key, "SERIAL1"}, {Hw::kVirtualization.key, "kvm"}}));
    EXPECT_EQ(dmidecode.runs(), "LC_ALL=C -s system-serial-number\n");

    // Nothing selected: nothing is kept, so every reading is a full (empty) one.
    HardwareProvider off(TestSupport::category("Hardware", 0, 0x1FFF), "20.1");
    for (int reading = 0; reading < 2; ++reading) {
        std::future<PropertyMap> future = off.getProperties();
        EXPECT_FALSE(isReady(future));
        EXPECT_TRUE(future.get().empty());
    }
    EXPECT_EQ(dmidecode.runs(), "LC_ALL=C -s system-serial-number\n");
}

TEST_F(HardwareProviderTest, LaterReadingsKeepEverythingButTheLid)
{
    FakeDmi dmi;
    dmi.set("sys_vendor", "LENOVO");
    dmi.set("product_name", "ThinkPad T14");
    dmi.set("bios_version", "R1BET65W");
    dmi.set("bios_date", "07/20/2021");
    FakeDmidecode dmidecode("PF2ABCDE");
    HostnameService hostname("laptop");
    SystemdService systemd("kvm");
    UPowerService upower({true, false});

    HardwareProvider provider(TestSupport::category("Hardware"), "20.1");
    std::future<PropertyMap> first = provider.getProperties();
    EXPECT_FALSE(isReady(first));  // deferred: runs on the thread that waits
    const PropertyMap initial = first.get();
    EXPECT_EQ(initial.size(), 13U);
    EXPECT_EQ(initial.at(Hw::kVendor.key), "LENOVO");
    EXPECT_EQ(initial.at(Hw::kBiosReleaseDate.key), "2021-07-20T00:00:00Z");
    EXPECT_EQ(initial.at(Hw::kBiosSerial.key), "PF2ABCDE");
    EXPECT_EQ(initial.at(Hw::kVirtualization.key), "kvm");
    EXPECT_EQ(initial.at(Hw::kRole.key), "Laptop");
    EXPECT_EQ(initial.at(Hw::kLid.key), "Open");

    // Everything changes, but only the lid is read again.
    hostname.stop();
    systemd.stop();
    dmi.set("sys_vendor", "Other");
    upower.setLidClosed(true);
    LogWatch log;
    std::future<PropertyMap> second = provider.getProperties();
    ASSERT_TRUE(isReady(second));
    PropertyMap expected = initial;
    expected[Hw::kLid.key] = "Closed";
    EXPECT_EQ(second.get(), expected);
    EXPECT_EQ(dmidecode.runs(), "LC_ALL=C -s system-serial-number\n");
    EXPECT_FALSE(log.contains("Reading virtualisation")) << log.text();
    EXPECT_FALSE(log.contains("ERROR")) << log.text();
    EXPECT_FALSE(log.contains("/sys/devices/virtual/dmi")) << log.text();
    EXPECT_TRUE(log.contains("VERBOSE - Getting HARDWARE properties..."));
    EXPECT_TRUE(log.contains("VERBOSE - Done getting HARDWARE properties."));

    // A reading that does not select the lid keeps it as it was.
    HardwareProvider noLid(TestSupport::category("Hardware", 1, 0x0001), "20.1");
    EXPECT_EQ(noLid.getProperties().get(), (PropertyMap{{Hw::kVendor.key, "Other"}}));
    dmi.set("sys_vendor", "Third");
    std::future<PropertyMap> kept = noLid.getProperties();
    ASSERT_TRUE(isReady(kept));
    EXPECT_EQ(kept.get(), (PropertyMap{{Hw::kVendor.key, "Other"}}));
}

TEST_F(HardwareProviderTest, LidChangesReachTheEngineWhileMonitoring)
{
    UPowerService upower({true, false});
    HardwareProvider provider(TestSupport::category("Hardware", 1, 0x1000 | 0x0001), "20.1");
    const PropertyMap initial = provider.getProperties().get();
    ASSERT_EQ(initial.at(Hw::kLid.key), "Open");

    std::vector<std::shared_ptr<Category const>> calls;
    LogWatch log;
    provider.monitorForChanges([&](std::shared_ptr<Category const> category) { calls.push_back(category); });
    provider.monitorForChanges([](std::shared_ptr<Category const>) { ADD_FAILURE() << "second callback called"; });
    EXPECT_EQ(log.count("VERBOSE - Monitoring for power notifications..."), 1U);
    EXPECT_EQ(log.count("VERBOSE - Ignoring request to monitor changes since already monitoring"), 1U);

    NotifyObserver observer;
    upower.setLidClosed(true);
    ASSERT_TRUE(observer.waitForMore(0));
    // One call for each notification: connected once.
    ASSERT_EQ(static_cast<int>(calls.size()), observer.notifications());
    EXPECT_EQ(calls.front(), provider.category());
    EXPECT_TRUE(log.contains("VERBOSE - Received power notification"));

    std::future<PropertyMap> next = provider.getProperties();
    ASSERT_TRUE(isReady(next));
    PropertyMap expected = initial;
    expected[Hw::kLid.key] = "Closed";
    EXPECT_EQ(next.get(), expected);

    // Closing works from a thread other than the monitoring one. After that
    // the lid no longer reaches the engine; closing twice is harmless.
    std::thread([&] { provider.close(); }).join();
    provider.close();
    EXPECT_EQ(log.count("VERBOSE - Closing hardware provider which is monitoring for changes"), 1U);
    const std::size_t before = calls.size();
    int seen = observer.notifications();
    upower.setLidClosed(false);
    ASSERT_TRUE(observer.waitForMore(seen));
    EXPECT_EQ(calls.size(), before);

    // Monitoring again after close works again.
    provider.monitorForChanges([&](std::shared_ptr<Category const> category) { calls.push_back(category); });
    NotifyObserver later;
    seen = later.notifications();
    upower.setLidClosed(true);
    ASSERT_TRUE(later.waitForMore(seen));
    EXPECT_EQ(calls.size(), before + static_cast<std::size_t>(later.notifications() - seen));
    provider.close();
}

TEST_F(HardwareProviderTest, FailingCallbackNeverReachesGLib)
{
    UPowerService upower({true, false});
    HardwareProvider provider(TestSupport::category("Hardware", 1, 0x1000), "20.1");
    LogWatch log;
    provider.monitorForChanges([](std::shared_ptr<Category const>) { throw std::runtime_error("engine gone"); });
    NotifyObserver observer;
    upower.setLidClosed(true);
    ASSERT_TRUE(observer.waitForMore(0));
    EXPECT_TRUE(log.contains("ERROR - Failed to handle power notification with error [engine gone]")) << log.text();
    provider.close();
}

TEST_F(HardwareProviderTest, CloseWithoutMonitoringDoesNothing)
{
    UPowerService upower({true, false});
    HardwareProvider provider(TestSupport::category("Hardware", 1, 0x1000), "20.1");
    LogWatch log;
    provider.close();
    EXPECT_FALSE(log.contains("Closing hardware provider"));
    EXPECT_EQ(provider.getProperties().get(), (PropertyMap{{Hw::kLid.key, "Open"}}));
}
