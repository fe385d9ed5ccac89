// Category "LogicalDisk": every block-device partition that is mounted or
// sits on a USB device, with its type, label, file system, mount points,
// size and free space, vendor data and bus, read through libudev and
// /proc/self/mounts.
//
// While monitoring, a thread watches udev for partitions that come and go and
// the mount table for mounts and unmounts, and reports each change at once.
// The thread sleeps in poll() on the udev monitor and the mount table until
// close() wakes and joins it.
#pragma once

#include "base/Descriptor.h"
#include "base/Udev.h"
#include "base/WatchThread.h"
#include "properties/Provider.h"

#include <span>
#include <vector>

class LogicalDiskProvider : public ProviderOf<LogicalDiskProvider> {
public:
    // Per partition: "X" is the partition's index, from 0.
    static constexpr PropertyKey kType{"DEVICE_LOGICALDISK_X_TYPE", 0x0002};
    static constexpr PropertyKey kLabel{"DEVICE_LOGICALDISK_X_LABEL", 0x0004};
    static constexpr PropertyKey kFileSystem{"DEVICE_LOGICALDISK_X_FILESYSTEM", 0x0020};
    static constexpr PropertyKey kPath{"DEVICE_LOGICALDISK_X_PATH", 0x0080};
    static constexpr PropertyKey kTotalMb{"DEVICE_LOGICALDISK_X_TOTALMB", 0x0100};
    static constexpr PropertyKey kFreeMb{"DEVICE_LOGICALDISK_X_FREEMB", 0x0200};
    static constexpr PropertyKey kName{"DEVICE_LOGICALDISK_X_NAME", 0x0400};
    static constexpr PropertyKey kVendorId{"DEVICE_LOGICALDISK_X_VENDOR_ID", 0x0800};
    static constexpr PropertyKey kProductId{"DEVICE_LOGICALDISK_X_PRODUCT_ID", 0x1000};
    static constexpr PropertyKey kSerialNumber{"DEVICE_LOGICALDISK_X_SERIALNUMBER", 0x2000};
    static constexpr PropertyKey kBusType{"DEVICE_LOGICALDISK_X_BUSTYPE", 0x4000};
    static constexpr PropertyKey kCount{"DEVICE_LOGICALDISK_COUNT", 0x0001};

    using ProviderOf::ProviderOf;
    ~LogicalDiskProvider() override;

    std::future<PropertyMap> getProperties() override;

    // Opens the watched sources and starts the monitor thread; once it has
    // returned, every later change is reported. A second call while
    // monitoring does nothing.
    void monitorForChanges(const ChangeCallback& callback) override;

    // Wakes and joins the monitor thread, then releases the sources.
    void close() override;

private:
    static void collect(PropertyCollector& properties);

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
    Base::WatchThread _watch{{"Logical Disk monitor thread", "Logical Disk udev monitor thread"}};
};
