// SPDX-License-Identifier: Apache-2.0
// Category "Name": the device's node name, its DNS name and its id. The
// static functions also give the identity of every outbound message.
#pragma once

#include "base/LazyLibrary.h"
#include "properties/Provider.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>

class NameProvider : public ProviderOf<NameProvider> {
public:
    // The platform libraries it calls into: libsystemd, for its watch of
    // hostnamed (sd-bus) and the machine id.
    static constexpr Base::LazyLibrary::Set kLibraries = Base::LazyLibrary::bit(Base::LazyLibrary::Systemd);
    static constexpr PropertyKey kKeys[] = {
        {"DEVICE_NAME", 0x01, "node name of the device"},
        {"DEVICE_NAME_DNS", 0x08, "fully qualified DNS name of the device", "", ""},
        {"DEVICE_ID", 0x20, "device id, a GUID made from the machine id"},
    };
    static constexpr const PropertyKey& kName = kKeys[0];
    static constexpr const PropertyKey& kNameDns = kKeys[1];
    static constexpr const PropertyKey& kId = kKeys[2];
    // The keys read from the node name.
    static constexpr PropertyKeys kNodeKeys{&kName, &kNameDns + 1};

    using ProviderOf::ProviderOf;

    std::future<PropertyMap> getProperties() override;
    // A new host name is announced by the kernel file the node name comes
    // from, and by systemd-hostnamed.
    void monitorForChanges(const ChangeCallback& callback) override
    {
        watchChanges({.announcing = {"/proc/sys/kernel/hostname"}, .busServices = {"org.freedesktop.hostname1"}},
                     callback);
    }

    static std::string getDeviceName();
    static std::string getDeviceId();

    // The device id text of a 128-bit machine id: a GUID with the version and
    // variant bits set, its first three groups in little-endian order.
    static std::string formatDeviceId(std::array<uint8_t, 16> machineId);
    // The machine id as /etc/machine-id holds it: 32 hexadecimal digits and
    // an optional newline; nullopt for any other text.
    static std::optional<std::array<uint8_t, 16>> parseMachineId(const std::string& text);
};
