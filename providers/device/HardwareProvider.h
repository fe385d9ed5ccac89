// SPDX-License-Identifier: Apache-2.0
// Category "Hardware": vendor and model of the machine, processor brand,
// speed and count, memory size, firmware serial, version and release date,
// virtualisation, secure boot, the chassis role and the state of the lid.
//
// Everything except the lid is read once, on a thread of its own, and kept;
// later readings return the kept values with only the lid read afresh: from
// UPower over the system bus, and only once UPower's watch has announced a
// change (the lid opening or closing reaches the engine at once).
#pragma once

#include "base/LazyLibrary.h"
#include "properties/KeptWhileQuiet.h"
#include "properties/Provider.h"
#include "providers/power/UPower.h"

#include <memory>
#include <string>

class HardwareProvider : public ProviderOf<HardwareProvider> {
public:
    // The platform libraries it calls into: libsystemd (sd-bus), for systemd's,
    // hostnamed's and UPower's answers and UPower's signals.
    static constexpr Base::LazyLibrary::Set kLibraries = Base::LazyLibrary::bit(Base::LazyLibrary::Systemd);
    static constexpr PropertyKey kKeys[] = {
        {"DEVICE_HARDWARE_VENDOR", 0x0001, "maker of the machine"},
        {"DEVICE_HARDWARE_MODEL", 0x0002, "model of the machine"},
        {"DEVICE_HARDWARE_CPU", 0x0004, "processor brand"},
        {"DEVICE_HARDWARE_CPU_SPEED", 0x0008, "processor clock speed", "MHz"},
        {"DEVICE_HARDWARE_CPU_COUNT", 0x0010, "number of processors online"},
        {"DEVICE_HARDWARE_SYSTEMMEMORY", 0x0020, "size of the main memory", "MB"},
        {"DEVICE_HARDWARE_BIOS_VERSION", 0x0080, "firmware version"},
        {"DEVICE_HARDWARE_BIOS_RELEASEDATE", 0x0100, "firmware release date", "ISO 8601"},
        {"DEVICE_HARDWARE_BIOS_SERIAL", 0x0040, "serial number the firmware gives the machine"},
        {"DEVICE_HARDWARE_VIRTUALIZATION", 0x0200, "hypervisor the machine runs under, or None"},
        {"DEVICE_HARDWARE_SECUREBOOT", 0x0400, "whether it booted through UEFI secure boot", "true/false"},
        {"DEVICE_HARDWARE_ROLE", 0x0800, "chassis role: Desktop, Laptop, Server, Tablet or Virtual"},
        {"DEVICE_HARDWARE_LID", 0x1000, "state of the lid: Open or Closed"},
    };
    static constexpr const PropertyKey& kVendor = kKeys[0];
    static constexpr const PropertyKey& kModel = kKeys[1];
    static constexpr const PropertyKey& kCpu = kKeys[2];
    static constexpr const PropertyKey& kCpuSpeed = kKeys[3];
    static constexpr const PropertyKey& kCpuCount = kKeys[4];
    static constexpr const PropertyKey& kSystemMemory = kKeys[5];
    static constexpr const PropertyKey& kBiosVersion = kKeys[6];
    static constexpr const PropertyKey& kBiosReleaseDate = kKeys[7];
    static constexpr const PropertyKey& kBiosSerial = kKeys[8];
    static constexpr const PropertyKey& kVirtualization = kKeys[9];
    static constexpr const PropertyKey& kSecureBoot = kKeys[10];
    static constexpr const PropertyKey& kRole = kKeys[11];
    static constexpr const PropertyKey& kLid = kKeys[12];

    using ProviderOf::ProviderOf;

    std::future<PropertyMap> getProperties() override;
    // UPower announces the lid opening or closing (and its other changes).
    void monitorForChanges(const ChangeCallback& callback) override
    {
        watchChanges({.busServices = {UPower::kService}}, callback);
    }

private:
    using Lid = KeptWhileQuiet<std::string>;

    // Fills `properties` with every selected key, in the order of the keys
    // above; the lid through `lid`. False when a service on the system bus
    // did not answer in time: its fact is then not known, and the reading is
    // not kept.
    static bool collect(PropertyCollector& properties, Lid& lid, const Lid::Quiet& quiet);

    // UPower's answer for the lid, kept while the watch is quiet.
    const std::shared_ptr<Lid> _lid = std::make_shared<Lid>();
};
