// SPDX-License-Identifier: Apache-2.0
#include "providers/device/HardwareProvider.h"

#include "base/Logging.h"
#include "base/ProgramAnswers.h"
#include "base/SdBus.h"
#include "base/UniqueHandle.h"
#include "base/Utilities.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <vector>

namespace {

constexpr const char* kDmiDirectory = "/sys/devices/virtual/dmi/id/";

std::string readDmi(const char* name)
{
    return Utilities::readFile(std::string(kDmiDirectory) + name).value_or("");
}

std::string getCpu()
{
#if defined(__x86_64__) || defined(__i386__)
    unsigned int eax = 0;
    unsigned int ebx = 0;
    unsigned int ecx = 0;
    unsigned int edx = 0;
    __cpuid(0x80000000U, eax, ebx, ecx, edx);
    const uint32_t highest = eax;
    // A processor without extended leaves answers with the data of its highest
    // basic leaf; only 0x8000xxxx is an extended leaf number.
    if ((highest & 0xFFFF0000U) != 0x80000000U || highest < 0x80000004U) {
        __cpuid(0, eax, ebx, ecx, edx);
        char vendor[12];
        std::memcpy(vendor, &ebx, 4);
        std::memcpy(vendor + 4, &edx, 4);
        std::memcpy(vendor + 8, &ecx, 4);
        std::string brand(vendor, sizeof(vendor));
        return Utilities::trim(brand);
    }
    // The brand is all that is read: the leaves after it are not asked (each
    // cpuid traps to the hypervisor on a virtual machine).
    std::vector<uint32_t> words;
    for (uint32_t leaf = 0x80000000U; leaf <= 0x80000004U; ++leaf) {
        __cpuid(leaf, eax, ebx, ecx, edx);
        words.insert(words.end(), {eax, ebx, ecx, edx});
    }
    TRACE_INFO << "Read CPU extended data [" << words.size() << "] elements" << std::endl;
    // Leaves 0x80000002 to 0x80000004: bytes 32 to 79 of the words.
    const char* text = reinterpret_cast<const char*>(words.data()) + 32;
    std::string brand(text, strnlen(text, 48));
    TRACE_INFO << "Read CPU brand [" << brand << "]" << std::endl;
    return Utilities::trim(brand);
#else
    return PropertyCollector::kUnavailable;
#endif
}

std::optional<std::string> getCpuSpeed()
{
    const std::string content = Utilities::readFile("/proc/cpuinfo").value_or("");
    const std::size_t label = content.find("MHz");
    if (label == std::string::npos) {
        TRACE_VERBOSE << "Unable to find MHz in [" << content << "]" << std::endl;
        return std::nullopt;
    }
    const std::size_t colon = content.find(": ", label);
    if (colon == std::string::npos) {
        TRACE_VERBOSE << "Unable to find colon in [" << content << "]" << std::endl;
        return std::nullopt;
    }
    const std::size_t start = colon + 2;
    const std::size_t end = content.find_first_of("\n\r", start);
    if (end == std::string::npos) {
        TRACE_VERBOSE << "Unable to find newline in [" << content << "]" << std::endl;
        return std::nullopt;
    }
    const std::string text = content.substr(start, end - start);
    char* stop = nullptr;
    errno = 0;
    const float megahertz = std::strtof(text.c_str(), &stop);
    if (stop == text.c_str() || errno == ERANGE) {
        TRACE_ERROR << "Failed to parse frequency [" << text << "]" << std::endl;
        return std::nullopt;
    }
    char printed[64];
    std::snprintf(printed, sizeof(printed), "%.0f", static_cast<double>(megahertz));
    return printed;
}

std::string getCpuCount()
{
    char printed[32];
    std::snprintf(printed, sizeof(printed), "%ld", sysconf(_SC_NPROCESSORS_ONLN));
    return printed;
}

std::optional<std::string> getSystemMemory()
{
    struct sysinfo system {};
    if (sysinfo(&system) != 0) {
        TRACE_ERROR << "Failed to determine system info error [" << std::strerror(errno) << "]" << std::endl;
        return std::nullopt;
    }
    char printed[32];
    std::snprintf(printed, sizeof(printed), "%lu", system.totalram >> 20);
    return printed;
}

// dmidecode answers from the firmware's tables, which the kernel read at boot
// and shows (this serial among them) under /sys/devices/virtual/dmi/id: its
// answer is kept while that file stays as it is, so a process asks once.
// It reads the tables from the kernel's copy or else from /dev/mem; where this
// process may read neither (a client run by a user, as on a thin client), it
// can only fail, so it is not started.
std::optional<std::string> getBiosSerial()
{
    constexpr const char* kTables = "/sys/firmware/dmi/tables/smbios_entry_point";
    constexpr const char* kMemory = "/dev/mem";
    // With the effective ids, which dmidecode runs with.
    const auto readable = [](const char* path) { return faccessat(AT_FDCWD, path, R_OK, AT_EACCESS) == 0; };
    if (!readable(kTables) && !readable(kMemory)) {
        TRACE_VERBOSE << "Not starting dmidecode: this process may read neither [" << kTables << "] nor [" << kMemory
                      << "]" << std::endl;
        return std::nullopt;
    }
    return Base::ProgramAnswers::read("dmidecode", {"-s", "system-serial-number"},
                                      {"/sys/devices/virtual/dmi/id/product_serial"});
}

// The system bus of one reading, opened when its first query needs it and
// shared by the others, and whether a service left one of its queries
// unanswered within the bus's answer limit.
class ReadingBus {
public:
    // The bus; null (with an ERROR line at each query) when it cannot be opened.
    const Base::SdBus* open()
    {
        if (const int result = _bus.openSystemOnce(); result < 0) {
            TRACE_FUNCTION("getProperties");
            TRACE_ERROR << "Failed to open system bus error [" << result << "]" << std::endl;
            return nullptr;
        }
        return &_bus;
    }
    // The sd-bus result of a query, noted when it timed out.
    int noted(int result)
    {
        _unanswered = _unanswered || result == -ETIMEDOUT;
        return result;
    }
    bool unanswered() const { return _unanswered; }

private:
    Base::SdBus _bus;
    bool _unanswered = false;
};

std::optional<std::string> getVirtualization(ReadingBus& shared)
{
    TRACE_VERBOSE << "Reading virtualisation from systemd" << std::endl;
    const Base::SdBus* bus = shared.open();
    if (bus == nullptr) {
        return std::nullopt;
    }
    Base::SdBusError error;
    std::string reported;
    if (shared.noted(bus->getPropertyString("org.freedesktop.systemd1", "/org/freedesktop/systemd1",
                                            "org.freedesktop.systemd1.Manager", "Virtualization", error,
                                            reported)) < 0) {
        TRACE_ERROR << "Failed to locate virtualization error [" << error.name() << "] description ["
                    << error.message() << "]" << std::endl;
        return std::nullopt;
    }
    std::string value;
    if (reported == "vmware") {
        value = "VMware";
    } else if (reported == "microsoft") {
        value = "Hyper-V";
    } else if (reported == "xen") {
        value = "Xen";
    } else if (reported == "parallels") {
        value = "Parallels";
    } else if (reported.empty()) {
        value = "None";
    } else {
        value = reported;
    }
    TRACE_VERBOSE << "Found virtualization [" << value << "]" << std::endl;
    return value;
}

std::string getSecureBoot()
{
    const Base::UniqueHandle<DIR, closedir> efi(opendir("/sys/firmware/efi"));
    if (!efi) {
        return "false";
    }
    const std::string mode = Utilities::tolower(Utilities::getEnvironmentVariable("BOOTMODE", ""));
    return mode.find("secure") != std::string::npos ? "true" : "false";
}

std::string chassisRole(const std::string& chassis)
{
    const std::string word = Utilities::tolower(chassis);
    if (word == "desktop") {
        return "Desktop";
    }
    if (word == "laptop" || word == "convertible") {
        return "Laptop";
    }
    if (word == "server") {
        return "Server";
    }
    if (word == "tablet") {
        return "Tablet";
    }
    if (word == "vm") {
        return "Virtual";
    }
    return PropertyCollector::kUnavailable;
}

std::string getRoleProperty(ReadingBus& shared)
{
    const Base::SdBus* bus = shared.open();
    if (bus == nullptr) {
        return PropertyCollector::kUnavailable;
    }
    Base::SdBusError error;
    std::string chassis;
    if (const int result = shared.noted(bus->getPropertyString("org.freedesktop.hostname1",
                                                               "/org/freedesktop/hostname1",
                                                               "org.freedesktop.hostname1", "Chassis", error, chassis));
        result < 0) {
        TRACE_ERROR << "Failed to query chassis from systemd error [" << result << "]" << std::endl;
        return PropertyCollector::kUnavailable;
    }
    std::string value = chassisRole(chassis);
    TRACE_VERBOSE << "Systemd reported chassis [" << chassis << "] which was mapped to [" << value << "]"
                  << std::endl;
    return value;
}

std::string lidWord(bool present, bool closed)
{
    std::string value = PropertyCollector::kUnavailable;
    if (present) {
        value = closed ? "Closed" : "Open";
    }
    TRACE_FUNCTION("getLidProperty");
    TRACE_VERBOSE << "Found lid present [" << (present ? 1 : 0) << "] closed [" << (closed ? 1 : 0) << "] result ["
                  << value << "]" << std::endl;
    return value;
}

// The lid as UPower tells it, asked over the reading's bus connection (no
// UPower client and main context made for one reading). No UPower on the bus
// is no lid, as a client would have reported it.
std::string readLid(ReadingBus& shared)
{
    const Base::SdBus* bus = shared.open();
    if (bus == nullptr) {
        return PropertyCollector::kUnavailable;
    }
    Base::SdBusError error;
    bool present = false;
    bool closed = false;
    using UPower::kManager, UPower::kService;
    if (bus->getPropertyBool(kService, kManager, kService, "LidIsPresent", error, present) < 0 ||
        (present && bus->getPropertyBool(kService, kManager, kService, "LidIsClosed", error, closed) < 0)) {
        TRACE_VERBOSE << "Found no lid: UPower did not answer error [" << error.name() << "]" << std::endl;
        return PropertyCollector::kUnavailable;
    }
    return lidWord(present, closed);
}

}  // namespace

std::future<PropertyMap> HardwareProvider::getProperties()
{
    std::optional<PropertyMap> reading = kept()->get();
    if (!reading) {
        // The first reading asks programs and services: on a thread of its
        // own, beside the other categories.
        return asynchronous([kept = kept(), lid = _lid, quiet = quiet()](PropertyCollector& properties) {
            TRACE_FUNCTION("getProperties");
            TRACE_VERBOSE << "Getting HARDWARE properties..." << std::endl;
            if (collect(properties, *lid, quiet)) {
                kept->keep(properties.properties());
            }
            TRACE_VERBOSE << "Done getting HARDWARE properties." << std::endl;
        });
    }
    // Only the lid is read again, and UPower asked only once the watch has
    // announced something since.
    return atOnce([this, &reading](PropertyCollector& properties) {
        TRACE_FUNCTION("getProperties");
        TRACE_VERBOSE << "Getting HARDWARE properties..." << std::endl;
        properties.add(kLid, [this] {
            return _lid->get(quiet(), [] {
                ReadingBus bus;
                return readLid(bus);
            });
        });
        properties.addKept(*reading);
        TRACE_VERBOSE << "Done getting HARDWARE properties." << std::endl;
    });
}

bool HardwareProvider::collect(PropertyCollector& properties, Lid& lid, const Lid::Quiet& quiet)
{
    properties.add(kVendor, [] { return PropertyCollector::orUnavailable(readDmi("sys_vendor")); });
    properties.add(kModel, [] { return PropertyCollector::orUnavailable(readDmi("product_name")); });
    properties.add(kCpu, &getCpu);
    properties.add(kCpuSpeed, &getCpuSpeed);
    properties.add(kCpuCount, &getCpuCount);
    properties.add(kSystemMemory, &getSystemMemory);
    properties.add(kBiosVersion, [] { return readDmi("bios_version"); });
    properties.add(kBiosReleaseDate, [] {
        return Utilities::parseDateFromString(readDmi("bios_date"), "%m/%d/%Y", "%Y-%m-%dT%H:%M:%SZ");
    });
    properties.add(kBiosSerial, &getBiosSerial);
    ReadingBus bus;
    properties.add(kVirtualization, [&bus] { return getVirtualization(bus); });
    properties.add(kSecureBoot, &getSecureBoot);
    properties.add(kRole, [&bus] { return getRoleProperty(bus); });
    properties.add(kLid, [&] { return lid.get(quiet, [&bus] { return readLid(bus); }); });
    return !bus.unanswered();
}
