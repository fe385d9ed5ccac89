// Category "LogicalDisk": every block-device partition that is mounted or
// sits on a USB device, with its type, label, file system, mount points,
// size and free space, vendor data and bus, read through libudev and
// /proc/self/mounts.
//
// While monitoring, a thread watches udev for partitions that come and go and
// the mount table for mounts and unmounts, and reports each change at once.
// The thread sleeps in poll() on the udev monitor, the mount table and a wake
// descriptor; close() wakes it through the latter and joins it.
#pragma once

#include "base/Udev.h"
#include "properties/Provider.h"

#include <atomic>
#include <thread>

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
    // An owned file descriptor, closed when replaced or destroyed.
    class Descriptor {
    public:
        Descriptor() = default;
        explicit Descriptor(int descriptor) : _descriptor(descriptor) {}
        ~Descriptor() { reset(); }
        Descriptor(const Descriptor&) = delete;
        Descriptor& operator=(const Descriptor&) = delete;

        int get() const { return _descriptor; }
        bool valid() const { return _descriptor >= 0; }
        void reset(int descriptor = -1);

    private:
        int _descriptor = -1;
    };

    static void collect(PropertyCollector& properties);

    void monitor();  // the monitor thread
    void cleanup();  // releases the mount table and udev sources

    ChangeCallback _callback;
    std::thread _thread;
    Descriptor _mounts;              // /proc/self/mounts, signals mount changes
    Base::UdevHandle _udev;          // the monitor's udev context
    Base::UdevMonitorHandle _udevMonitor;  // block partitions, from the "udev" source
    Descriptor _wake;                // eventfd that close() writes to
    std::atomic<bool> _stop{false};
};
