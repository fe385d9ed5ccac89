// Category "Hardware": vendor and model of the machine, processor brand,
// speed and count, memory size, firmware serial, version and release date,
// virtualisation, secure boot, the chassis role and the state of the lid.
//
// Everything except the lid is read once and kept; later readings return the
// kept values with only the lid read afresh. While monitoring, UPower's change
// notifications (the lid opening or closing) reach the engine at once.
#pragma once

#include "base/GObjectHandle.h"
#include "properties/Provider.h"

#include <upower.h>

class HardwareProvider : public ProviderOf<HardwareProvider> {
public:
    static constexpr PropertyKey kVendor{"DEVICE_HARDWARE_VENDOR", 0x0001};
    static constexpr PropertyKey kModel{"DEVICE_HARDWARE_MODEL", 0x0002};
    static constexpr PropertyKey kCpu{"DEVICE_HARDWARE_CPU", 0x0004};
    static constexpr PropertyKey kCpuSpeed{"DEVICE_HARDWARE_CPU_SPEED", 0x0008};
    static constexpr PropertyKey kCpuCount{"DEVICE_HARDWARE_CPU_COUNT", 0x0010};
    static constexpr PropertyKey kSystemMemory{"DEVICE_HARDWARE_SYSTEMMEMORY", 0x0020};
    static constexpr PropertyKey kBiosVersion{"DEVICE_HARDWARE_BIOS_VERSION", 0x0080};
    static constexpr PropertyKey kBiosReleaseDate{"DEVICE_HARDWARE_BIOS_RELEASEDATE", 0x0100};
    static constexpr PropertyKey kBiosSerial{"DEVICE_HARDWARE_BIOS_SERIAL", 0x0040};
    static constexpr PropertyKey kVirtualization{"DEVICE_HARDWARE_VIRTUALIZATION", 0x0200};
    static constexpr PropertyKey kSecureBoot{"DEVICE_HARDWARE_SECUREBOOT", 0x0400};
    static constexpr PropertyKey kRole{"DEVICE_HARDWARE_ROLE", 0x0800};
    static constexpr PropertyKey kLid{"DEVICE_HARDWARE_LID", 0x1000};

    using ProviderOf::ProviderOf;
    ~HardwareProvider() override;

    std::future<PropertyMap> getProperties() override;
    void monitorForChanges(const ChangeCallback& callback) override;
    void close() override;

    // The handler of the UPower client's "notify" signal; `listener` is the
    // connection's own data (the category and the callback).
    static void OnPowerNotification(UpClient* client, GParamSpec* property, gpointer listener);

private:
    struct Listener;

    // Fills `properties` with every selected key, in the order of the keys above.
    static void collect(PropertyCollector& properties);

    PropertyMap _kept;                      // the last full collection; empty until the first
    Base::GObjectHandle<UpClient> _client;  // held while monitoring
    gulong _handler = 0;                    // the "notify" connection on _client
    // The main context the client delivers its signals in, where it is also released.
    Base::UniqueHandle<GMainContext, g_main_context_unref> _context;
};
