// SPDX-License-Identifier: Apache-2.0
#include "providers/disk/LogicalDiskProvider.h"

#include "base/Logging.h"
#include "base/Sysfs.h"
#include "base/Utilities.h"
#include "providers/disk/LogicalDiskRules.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <vector>

namespace {

constexpr const char* kMountTable = "/proc/self/mounts";

// At most this many queued udev events are taken per wake-up, so a flood of
// events still leaves the loop time to see the stop request.
constexpr int kEventsPerWakeUp = 64;

// The mount table is read at most this often for one reading, should it
// keep changing while the partitions are read.
constexpr int kTableReadings = 3;

// A udev monitor that keeps reporting an error without events is given up.
constexpr int kFailedWakeUpsTolerated = 100;

std::string getProperty(udev_device* device, const char* name)
{
    return LogicalDiskRules::plainValue(udev_device_get_property_value(device, name));
}

std::string getEncodedProperty(udev_device* device, const char* name)
{
    return LogicalDiskRules::encodedValue(udev_device_get_property_value(device, name));
}

const char* orEmpty(const char* text)
{
    return text != nullptr ? text : "";
}

// The mount table's text; nothing (and an ERROR line) when it cannot be read.
std::optional<std::string> readMountTable()
{
    std::ifstream file(kMountTable);
    if (!file) {
        TRACE_FUNCTION("getMountPoints");
        TRACE_ERROR << "Failed to find mount points error [" << std::strerror(errno) << "]" << std::endl;
        return std::nullopt;
    }
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

MountTable getMountPoints(const std::string& text)
{
    MountTable table = LogicalDiskRules::parseMountTable(text);
    for (const MountEntry& entry : table) {
        TRACE_INFO << "Found mount [" << entry.device << "] -> [" << entry.directory << "]" << std::endl;
    }
    return table;
}

std::vector<std::string> getMountsForPartition(const MountTable& table, const std::string& devName)
{
    std::vector<std::string> directories = LogicalDiskRules::mountDirectories(table, devName);
    for (const std::string& directory : directories) {
        TRACE_INFO << "Found mount point [" << directory << "] for partition [" << devName << "]" << std::endl;
    }
    return directories;
}

void dumpOne(const char* prefix, udev_device* device)
{
    TRACE_FUNCTION("dumpDevice");
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_device_get_properties_list_entry(device))
    {
        TRACE_INFO << prefix << ":prop> " << LogicalDiskRules::printable(udev_list_entry_get_name(entry)) << "="
                   << LogicalDiskRules::printable(udev_list_entry_get_value(entry)) << std::endl;
    }
    udev_list_entry_foreach(entry, udev_device_get_sysattr_list_entry(device))
    {
        const char* name = udev_list_entry_get_name(entry);
        const char* value = name != nullptr ? udev_device_get_sysattr_value(device, name) : nullptr;
        TRACE_INFO << prefix << ":attr> " << LogicalDiskRules::printable(name) << "="
                   << LogicalDiskRules::printable(value) << std::endl;
    }
}

void dumpDevice(udev_device* partition)
{
    dumpOne("partition", partition);
    struct Parent {
        const char* prefix;
        const char* subsystem;
        const char* devtype;
    };
    static constexpr Parent kParents[] = {
        {"usb", "usb", "usb_device"}, {"scsi", "scsi", "scsi_device"}, {"pci", "pci", nullptr},
        {"ata", "ata", nullptr},      {"nvme", "nvme", nullptr},
    };
    for (const Parent& parent : kParents) {
        if (udev_device* found = udev_device_get_parent_with_subsystem_devtype(partition, parent.subsystem,
                                                                               parent.devtype)) {
            dumpOne(parent.prefix, found);
        }
    }
}

std::string plainAttribute(const std::string& directory, const char* name)
{
    const std::optional<std::string> value = Base::Sysfs::attribute(directory, name);
    return LogicalDiskRules::plainValue(value ? value->c_str() : nullptr);
}

// The devices above a partition are read from sysfs (Base::Sysfs::parents):
// udev's own lookup makes a device of every directory above, resolving each
// path anew, some hundred system calls per partition, where the subsystem
// link of each is enough.
using Parents = std::vector<Base::Sysfs::Parent>;

PartitionFacts readFacts(udev_device* device, const Parents& parents, const std::optional<std::string>& usb)
{
    PartitionFacts facts;
    facts.devName = getProperty(device, "DEVNAME");
    facts.labelEncoded = getEncodedProperty(device, "ID_FS_LABEL_ENC");
    facts.label = getProperty(device, "ID_FS_LABEL");
    facts.fsType = getProperty(device, "ID_FS_TYPE");
    facts.fsVersion = getProperty(device, "ID_FS_VERSION");
    facts.serialShort = getProperty(device, "ID_SERIAL_SHORT");
    facts.serial = getProperty(device, "ID_SERIAL");
    facts.vendorEncoded = getEncodedProperty(device, "ID_VENDOR_ENC");
    facts.vendor = getProperty(device, "ID_VENDOR");
    facts.modelEncoded = getEncodedProperty(device, "ID_MODEL_ENC");
    facts.model = getProperty(device, "ID_MODEL");
    facts.bus = getProperty(device, "ID_BUS");
    if (const std::optional<std::string> pci = Base::Sysfs::findParent(parents, "pci", nullptr)) {
        facts.hasPci = true;
        facts.pciVendor = plainAttribute(*pci, "subsystem_vendor");
        facts.pciDevice = plainAttribute(*pci, "subsystem_device");
    }
    if (usb) {
        facts.hasUsb = true;
        facts.usbVendor = plainAttribute(*usb, "idVendor");
        facts.usbProduct = plainAttribute(*usb, "idProduct");
    }
    if (const std::optional<std::string> nvme = Base::Sysfs::findParent(parents, "nvme", nullptr)) {
        facts.hasNvme = true;
        facts.nvmeModel = plainAttribute(*nvme, "model");
    }
    return facts;
}

// The disk record of a supported partition; nothing for another major.
std::optional<Disk> getDiskFromPartition(udev_device* device, const Parents& parents,
                                         const std::optional<std::string>& usb, const std::string& devName,
                                         const std::vector<std::string>& directories)
{
    const std::string major = getProperty(device, "MAJOR");
    const LogicalDiskRules::Kind kind = LogicalDiskRules::kindFromMajor(major);
    if (kind == LogicalDiskRules::Kind::Unsupported) {
        TRACE_INFO << "Ignoring unknown partition device with major [" << major << "]" << std::endl;
        TRACE_INFO << "Partition [" << devName << "] had mount points ["
                   << LogicalDiskRules::joinDirectories(directories) << "] but was unsupported" << std::endl;
        return std::nullopt;
    }
    return LogicalDiskRules::diskFromFacts(readFacts(device, parents, usb), kind);
}

struct Sizes {
    uint64_t totalMb = 0;
    uint64_t freeMb = 0;
};

Sizes getSizeFromMount(const std::string& directory)
{
    struct statvfs stats {};
    if (statvfs(directory.c_str(), &stats) != 0) {
        TRACE_ERROR << "Failed to find mount [" << directory << "] size error [" << std::strerror(errno) << "]"
                    << std::endl;
        return {};
    }
    Sizes sizes;
    sizes.totalMb = LogicalDiskRules::megabytes(stats.f_blocks, stats.f_frsize, stats.f_bsize);
    sizes.freeMb = LogicalDiskRules::megabytes(stats.f_bfree, stats.f_frsize, stats.f_bsize);
    TRACE_INFO << "Found mount [" << directory << "] totalMb [" << sizes.totalMb << "] freeMb [" << sizes.freeMb
               << "]" << std::endl;
    return sizes;
}

// A partition to report, read before any of its keys is added.
struct Partition {
    Disk disk;
    std::vector<std::string> directories;
    Sizes sizes;
};

void addPartition(PropertyCollector& properties, int index, const Partition& partition)
{
    using P = LogicalDiskProvider;
    const Disk& disk = partition.disk;
    const Sizes& sizes = partition.sizes;
    properties.addIndexed(P::kType, index, disk.type);
    properties.addIndexed(P::kLabel, index, disk.label);
    properties.addIndexed(P::kFileSystem, index, [&] { return PropertyCollector::orUnavailable(disk.fileSystem); });
    properties.addIndexed(P::kPath, index, LogicalDiskRules::joinDirectories(partition.directories));
    properties.addIndexed(P::kTotalMb, index, [&] { return LogicalDiskRules::formatMegabytes(sizes.totalMb); });
    properties.addIndexed(P::kFreeMb, index, [&] { return LogicalDiskRules::formatMegabytes(sizes.freeMb); });
    properties.addIndexed(P::kName, index, [&] { return PropertyCollector::orUnavailable(disk.name); });
    properties.addIndexed(P::kVendorId, index, [&] { return PropertyCollector::orUnavailable(disk.vendorId); });
    properties.addIndexed(P::kProductId, index, [&] { return PropertyCollector::orUnavailable(disk.productId); });
    properties.addIndexed(P::kSerialNumber, index, [&] { return PropertyCollector::orUnavailable(disk.serialNumber); });
    properties.addIndexed(P::kBusType, index, [&] { return PropertyCollector::orUnavailable(disk.busType); });
}

// The partition when it is reported; nothing when not (and so it uses no
// index).
std::optional<Partition> readPartition(const PropertyCollector& properties, udev_device* device,
                                       const MountTable& table, bool dumping)
{
    TRACE_FUNCTION("getProperties");
    using P = LogicalDiskProvider;
    const std::string devName = getProperty(device, "DEVNAME");
    if (dumping) {
        TRACE_INFO << "Dumping partition " << devName << ": " << std::endl;
        dumpDevice(device);
    }
    std::vector<std::string> directories = getMountsForPartition(table, devName);
    const char* syspath = udev_device_get_syspath(device);
    const Parents parents = Base::Sysfs::parents(syspath != nullptr ? syspath : "");
    const std::optional<std::string> usb = Base::Sysfs::findParent(parents, "usb", "usb_device");
    if (!usb && directories.empty()) {
        TRACE_INFO << "Partition [" << devName << "] had no mount points" << std::endl;
        return std::nullopt;
    }
    std::optional<Disk> disk = getDiskFromPartition(device, parents, usb, devName, directories);
    if (!disk) {
        return std::nullopt;
    }
    Sizes sizes;
    if (properties.anySelected(P::kSizeKeys) && !directories.empty()) {
        sizes = getSizeFromMount(directories.front());
    }
    return Partition{std::move(*disk), std::move(directories), sizes};
}

// The partitions' sysfs paths in udev's order, from the links of the block
// class and each device's uevent file. udev's enumerator makes a device of
// every block device to read its type, resolving each path anew; this reads
// one small file of each, and only the partitions become udev devices.
std::vector<std::string> listPartitions()
{
    TRACE_FUNCTION("getProperties");
    std::optional<std::vector<std::string>> devices = Base::Sysfs::classDevices("block");
    if (!devices) {
        TRACE_ERROR << "Failed to list the block devices error [" << std::strerror(errno) << "]" << std::endl;
        return {};
    }
    std::vector<std::string> partitions;
    for (std::string& device : *devices) {
        const std::optional<std::string> uevent = Base::Sysfs::attribute(device, "uevent");
        if (uevent && Base::Sysfs::ueventValue(*uevent, "DEVTYPE") == "partition") {
            partitions.push_back(std::move(device));
        }
    }
    std::sort(partitions.begin(), partitions.end(), LogicalDiskRules::enumeratedBefore);
    return partitions;
}

// Every partition to report, read from udev and the mount table; nullopt when
// either cannot be read.
std::optional<std::vector<Partition>> readPartitions(const PropertyCollector& properties)
{
    TRACE_FUNCTION("getProperties");
    const Base::UdevHandle udev(udev_new());
    std::vector<Partition> partitions;
    std::optional<std::string> mounts;
    if (!udev) {
        TRACE_ERROR << "Failed to create udev context or enumerator error [" << std::strerror(errno) << "]" << std::endl;
    } else if ((mounts = readMountTable())) {
        const bool dumping =
            LogicalDiskRules::dumpingEnabled(Utilities::getEnvironmentVariable("CORVANE_LOGGING_DISKS", "false"));
        const std::vector<std::string> listed = listPartitions();
        // A partition's sizes are those of its mount directory: should the
        // table change while they are read (an unmount between reading the
        // table and the directory gives the sizes of the file system
        // beneath), the partitions are read again with the new table.
        for (int attempt = 1;; ++attempt) {
            const MountTable table = getMountPoints(*mounts);
            partitions.clear();
            for (const std::string& path : listed) {
                const Base::UdevDeviceHandle device(udev_device_new_from_syspath(udev.get(), path.c_str()));
                if (!device) {
                    // Gone between the listing and now.
                    TRACE_INFO << "Skipping partition [" << path << "] that cannot be read" << std::endl;
                    continue;
                }
                if (std::optional<Partition> partition = readPartition(properties, device.get(), table, dumping)) {
                    partitions.push_back(std::move(*partition));
                }
            }
            std::optional<std::string> again = attempt < kTableReadings ? readMountTable() : std::nullopt;
            if (!again || *again == *mounts) {
                break;
            }
            mounts = std::move(again);
        }
    }
    if (!udev || !mounts) {
        return std::nullopt;
    }
    return partitions;
}

}  // namespace

LogicalDiskProvider::~LogicalDiskProvider()
{
    close();
}

std::future<PropertyMap> LogicalDiskProvider::getProperties()
{
    // The first reading, which enumerates udev's partitions, runs beside the
    // other categories; later ones mostly read the sizes.
    return deferredAfterFirst([kept = _kept, quiet = std::shared_ptr<const Base::ChangeWatch::Quiet>(_quiet)](
                        PropertyCollector& properties) {
        TRACE_FUNCTION("getProperties");
        TRACE_VERBOSE << "Getting LOGICALDISK properties..." << std::endl;
        collect(properties, *kept, quiet);
        TRACE_VERBOSE << "Done getting LOGICALDISK properties." << std::endl;
    });
}

void LogicalDiskProvider::collect(PropertyCollector& properties, Kept& kept, const Kept::Quiet& quiet)
{
    TRACE_FUNCTION("getProperties");
    // While the watch has announced nothing, udev and the mount table are not
    // read again; only the sizes are, which change unannounced. A change
    // while they are read makes a fresh reading.
    const std::optional<std::uint64_t> from = Kept::generation(quiet);
    std::optional<std::vector<Partition>> partitions;
    if (const std::optional<Layout> held = kept.held(quiet, from)) {
        partitions.emplace();
        for (const Mounted& mounted : *held) {
            Sizes sizes;
            if (properties.anySelected(kSizeKeys) && !mounted.directories.empty()) {
                sizes = getSizeFromMount(mounted.directories.front());
            }
            partitions->push_back(Partition{mounted.disk, mounted.directories, sizes});
        }
        if (Kept::generation(quiet) != from) {
            partitions.reset();
        }
    }
    if (!partitions && (partitions = readPartitions(properties))) {
        Layout layout;
        for (const Partition& partition : *partitions) {
            layout.push_back(Mounted{partition.disk, partition.directories});
        }
        kept.keep(from, layout);
    }
    int count = 0;
    if (partitions) {
        for (const Partition& partition : *partitions) {
            addPartition(properties, count++, partition);
        }
    }
    char printed[16];
    std::snprintf(printed, sizeof(printed), "%d", count);
    properties.add(kCount, std::string(printed));
}

void LogicalDiskProvider::monitorForChanges(const ChangeCallback& callback)
{
    if (_watch.running()) {
        TRACE_VERBOSE << "Ignoring request to monitor logical disks since already monitoring" << std::endl;
        return;
    }
    _callback = callback;

    _mounts.reset(open(kMountTable, O_RDONLY | O_CLOEXEC));
    if (!_mounts) {
        TRACE_ERROR << "Failed to open /proc/self/mounts file handle for logical disk monitoring" << std::endl;
    } else {
        TRACE_VERBOSE << "Successfully opened /proc/self/mounts file handle for logical disk monitoring"
                      << std::endl;
    }

    _udev.reset(udev_new());
    if (_udev) {
        _udevMonitor.reset(udev_monitor_new_from_netlink(_udev.get(), "udev"));
    }
    int udevDescriptor = -1;
    if (_udevMonitor &&
        udev_monitor_filter_add_match_subsystem_devtype(_udevMonitor.get(), "block", "partition") >= 0 &&
        udev_monitor_enable_receiving(_udevMonitor.get()) >= 0) {
        udevDescriptor = udev_monitor_get_fd(_udevMonitor.get());
    }
    if (udevDescriptor == -1) {
        TRACE_ERROR << "Failed to open udev block partition monitor" << std::endl;
        _udevMonitor.reset();
        _udev.reset();
    } else {
        TRACE_VERBOSE << "Successfully opened udev block partition monitor" << std::endl;
    }

    if (!_mounts && !_udevMonitor) {
        TRACE_ERROR << "Not monitoring logical disks since neither the mount table nor udev can be watched"
                    << std::endl;
        cleanup();
        return;
    }

    _watch.start({
        .wakeFailed =
            [](int error) {
                TRACE_FUNCTION("monitorForChanges");
                TRACE_WARNING << "Failed to create the logical disk monitor's wake descriptor error ["
                              << std::strerror(error) << "]" << std::endl;
                return true;
            },
        .startFailed =
            [this](const char* what) {
                TRACE_FUNCTION("monitorForChanges");
                TRACE_ERROR << "Failed to start logical disk monitor thread error [" << what << "]" << std::endl;
                cleanup();
            },
        .open = [this](std::vector<pollfd>& descriptors) { return watch(descriptors); },
        .ready = [this](std::span<pollfd> descriptors) { return react(descriptors); },
        .idle = {},
        .pollFailed =
            [](int error) {
                TRACE_FUNCTION("monitor");
                TRACE_ERROR << "Failed to poll for logical disk changes error [" << std::strerror(error) << "]"
                            << std::endl;
            },
        .closed = [this](bool) { cleanup(); },
        .aborted = [this](const char*) { _quiet->complete = false; },
    });
}

bool LogicalDiskProvider::watch(std::vector<pollfd>& descriptors)
{
    _mountIndex = -1;
    _udevIndex = -1;
    _failedWakeUps = 0;
    ++_quiet->generation;
    _quiet->complete = _mounts && _udevMonitor;
    if (_mounts) {
        _mountIndex = static_cast<int>(descriptors.size());
        descriptors.push_back(pollfd{_mounts.get(), POLLERR | POLLPRI, 0});
    }
    if (_udevMonitor) {
        _udevIndex = static_cast<int>(descriptors.size());
        descriptors.push_back(pollfd{udev_monitor_get_fd(_udevMonitor.get()), POLLIN, 0});
    }
    return true;
}

bool LogicalDiskProvider::react(std::span<pollfd> watched)
{
    TRACE_FUNCTION("monitor");
    bool changed = false;
    const short udevEvents = _udevIndex >= 0 ? watched[_udevIndex].revents : 0;
    if ((udevEvents & (POLLIN | POLLERR)) != 0) {
        // An error is an overrun of the socket's buffer: events were lost, so
        // a change is reported; receiving clears the error.
        changed = true;
        int taken = 0;
        for (; taken < kEventsPerWakeUp; ++taken) {
            const Base::UdevDeviceHandle device(udev_monitor_receive_device(_udevMonitor.get()));
            if (!device) {
                break;
            }
            TRACE_VERBOSE << "Detected changes to device [" << orEmpty(udev_device_get_devnode(device.get())) << "]"
                          << std::endl;
        }
        _failedWakeUps = (taken == 0 && (udevEvents & POLLIN) == 0) ? _failedWakeUps + 1 : 0;
    }
    if ((udevEvents & (POLLHUP | POLLNVAL)) != 0 || _failedWakeUps > kFailedWakeUpsTolerated) {
        TRACE_ERROR << "Udev block partition monitor failed: no longer watching it" << std::endl;
        _quiet->complete = false;
        watched[_udevIndex].fd = -1;  // poll skips it from now on
        _udevIndex = -1;
        _failedWakeUps = 0;
    }
    if (_mountIndex >= 0 && (watched[_mountIndex].revents & POLLNVAL) != 0) {
        TRACE_ERROR << "Mount table descriptor failed: no longer watching it" << std::endl;
        _quiet->complete = false;
        watched[_mountIndex].fd = -1;
        _mountIndex = -1;
    } else if (_mountIndex >= 0 && (watched[_mountIndex].revents & (POLLERR | POLLPRI)) != 0) {
        changed = true;
    }
    if (changed) {
        ++_quiet->generation;
        usleep(500);
        TRACE_INFO << "Detected changes to logical disks. Triggering property change." << std::endl;
        try {
            _callback(category());
        } catch (const std::exception& error) {
            TRACE_ERROR << "Failed to report logical disk changes error [" << error.what() << "]" << std::endl;
        }
    }
    return true;
}

void LogicalDiskProvider::cleanup()
{
    _quiet->complete = false;
    if (_mounts) {
        _mounts.reset();
        TRACE_VERBOSE << "Closed Logical Disk monitor" << std::endl;
    }
    if (_udevMonitor) {
        _udevMonitor.reset();
        TRACE_VERBOSE << "Closed Logical Disk udev monitor" << std::endl;
    }
    if (_udev) {
        _udev.reset();
        TRACE_VERBOSE << "Closed Logical Disk udev" << std::endl;
    }
}

void LogicalDiskProvider::close()
{
    if (!_watch.running()) {
        return;
    }
    TRACE_VERBOSE << "Shutting down logical disk monitor thread..." << std::endl;
    if (!_watch.stop()) {
        // Called from the monitor thread itself, which calls nothing of the
        // provider's once this call has returned.
        cleanup();
        return;
    }
    cleanup();
    TRACE_VERBOSE << "Done shutting down logical disk monitor thread." << std::endl;
}
