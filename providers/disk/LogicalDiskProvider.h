// SPDX-License-Identifier: Apache-2.0
// Category "LogicalDisk": every block-device partition that is mounted or
// sits on a USB device, with its type, label, file system, mount points,
// size and free space, vendor data and bus, read through libudev and
// /proc/self/mounts.
//
// While monitoring, a thread watches udev for partitions that come and go and
// the mount table for mounts and unmounts, and reports each change at once;
// while it has reported none, only the sizes are read again.
// The thread sleeps in poll() on the udev monitor and the mount table until
// close() wakes and joins it.
#pragma once

#include "base/Descriptor.h"
#include "base/Udev.h"
#include "base/WatchThread.h"
#include "base/ChangeWatch.h"
#include "base/LazyLibrary.h"
#include "properties/KeptWhileQuiet.h"
#include "properties/Provider.h"
#include "providers/disk/LogicalDiskRules.h"

#include <memory>
#include <span>
#include <vector>

class LogicalDiskProvider : public ProviderOf<LogicalDiskProvider> {
public:
    // The platform libraries it calls into: libudev.
    static constexpr Base::LazyLibrary::Set kLibraries = Base::LazyLibrary::bit(Base::LazyLibrary::Udev);
    // Per partition: "%d" is the partition's index, from 0.
    static constexpr PropertyKey kKeys[] = {
        {"DEVICE_LOGICALDISK_%d_TYPE", 0x0002, "Fixed or Removable"},
        {"DEVICE_LOGICALDISK_%d_LABEL", 0x0004, "file-system label"},
        {"DEVICE_LOGICALDISK_%d_FILESYSTEM", 0x0020, "file-system type"},
        {"DEVICE_LOGICALDISK_%d_PATH", 0x0080, "mount points, separated by \";\""},
        {"DEVICE_LOGICALDISK_%d_TOTALMB", 0x0100, "size of the mounted file system", "MB"},
        {"DEVICE_LOGICALDISK_%d_FREEMB", 0x0200, "free space of the mounted file system", "MB"},
        {"DEVICE_LOGICALDISK_%d_NAME", 0x0400, "model name of the drive"},
        {"DEVICE_LOGICALDISK_%d_VENDOR_ID", 0x0800, "USB vendor id of the drive"},
        {"DEVICE_LOGICALDISK_%d_PRODUCT_ID", 0x1000, "USB product id of the drive"},
        {"DEVICE_LOGICALDISK_%d_SERIALNUMBER", 0x2000, "serial number of the drive"},
        {"DEVICE_LOGICALDISK_%d_BUSTYPE", 0x4000, "bus the drive is attached to"},
        {"DEVICE_LOGICALDISK_COUNT", 0x0001, "number of partitions reported"},
    };
    static constexpr const PropertyKey& kType = kKeys[0];
    static constexpr const PropertyKey& kLabel = kKeys[1];
    static constexpr const PropertyKey& kFileSystem = kKeys[2];
    static constexpr const PropertyKey& kPath = kKeys[3];
    static constexpr const PropertyKey& kTotalMb = kKeys[4];
    static constexpr const PropertyKey& kFreeMb = kKeys[5];
    static constexpr const PropertyKey& kName = kKeys[6];
    static constexpr const PropertyKey& kVendorId = kKeys[7];
    static constexpr const PropertyKey& kProductId = kKeys[8];
    static constexpr const PropertyKey& kSerialNumber = kKeys[9];
    static constexpr const PropertyKey& kBusType = kKeys[10];
    static constexpr const PropertyKey& kCount = kKeys[11];
    // The keys read from the mounted file system's statistics.
    static constexpr PropertyKeys kSizeKeys{&kTotalMb, &kFreeMb + 1};

    using ProviderOf::ProviderOf;
    ~LogicalDiskProvider() override;

    std::future<PropertyMap> getProperties() override;

    // Opens the watched sources and starts the monitor thread; once it has
    // returned, every later change is reported. A second call while
    // monitoring does nothing.
    void monitorForChanges(const ChangeCallback& callback) override;

    // Wakes the monitor thread and waits until it let go, then releases the sources.
    void close() override;
    void requestClose() override { _watch.requestStop(); }

private:
    // What udev and the mount table told of each reported partition: kept
    // while the watch has announced nothing.
    struct Mounted {
        Disk disk;
        std::vector<std::string> directories;
    };
    using Layout = std::vector<Mounted>;
    using Kept = KeptWhileQuiet<Layout>;
    static void collect(PropertyCollector& properties, Kept& kept, const Kept::Quiet& quiet);

    // The monitor thread's work: the descriptors to watch, then what poll
    // reported on them.
    bool watch(std::vector<pollfd>& descriptors);
    bool react(std::span<pollfd> descriptors);
    void cleanup();  // releases the mount table and udev sources

    ChangeCallback _callback;
    Base::Descriptor _mounts;              // /proc/self/mounts, signals mount changes
    Base::UdevHandle _udev;                // the monitor's udev context
    Base::UdevMonitorHandle _udevMonitor;  // block partitions, from the "udev" source
    // The monitor thread's own: where the sources are among the polled
    // descriptors (-1: not polled), and udev's wake-ups in a row with an
    // error and no event.
    int _mountIndex = -1;
    int _udevIndex = -1;
    int _failedWakeUps = 0;
    std::shared_ptr<Kept> _kept = std::make_shared<Kept>();
    // Every change the monitor thread announces, and whether it watches both sources.
    std::shared_ptr<Base::ChangeWatch::Quiet> _quiet = std::make_shared<Base::ChangeWatch::Quiet>();
    Base::WatchThread _watch{{"Logical Disk monitor thread", "Logical Disk udev monitor thread"}};
};
