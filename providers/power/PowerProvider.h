// SPDX-License-Identifier: Apache-2.0
// Category "Power": whether the machine runs on mains and how full its
// battery is, from UPower, asked over the system bus (sd-bus, which the
// engine loads for every category).
#pragma once

#include "base/LazyLibrary.h"
#include "properties/KeptWhileQuiet.h"
#include "properties/Provider.h"
#include "providers/power/UPower.h"

class PowerProvider : public ProviderOf<PowerProvider> {
public:
    // The platform libraries it calls into: libsystemd (sd-bus), for UPower's
    // answers and signals.
    static constexpr Base::LazyLibrary::Set kLibraries = Base::LazyLibrary::bit(Base::LazyLibrary::Systemd);
    static constexpr PropertyKey kKeys[] = {
        {"DEVICE_POWER_AC", 0x01, "whether the machine runs on mains: Online or Offline", "", nullptr},
        {"DEVICE_POWER_BATTERY", 0x02, "battery charge: High, Medium, Low, Critical or None", "", nullptr},
    };
    static constexpr const PropertyKey& kAc = kKeys[0];
    static constexpr const PropertyKey& kBattery = kKeys[1];

    using ProviderOf::ProviderOf;

    std::future<PropertyMap> getProperties() override;
    // UPower announces batteries and line power changing, coming and going.
    void monitorForChanges(const ChangeCallback& callback) override
    {
        watchChanges({.busServices = {UPower::kService}}, callback);
    }

    // The battery word for a charge percentage: "High" above 66, "Critical"
    // below 5, "Medium" from 33, else "Low".
    static std::string batteryLevel(double percentage);

    struct PowerState {
        std::string ac;
        std::string battery;
    };

private:
    // Nothing when UPower cannot be asked.
    std::shared_ptr<KeptWhileQuiet<std::optional<PowerState>>> _kept =
        std::make_shared<KeptWhileQuiet<std::optional<PowerState>>>();
};
