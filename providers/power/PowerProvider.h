// Category "Power": whether the machine runs on mains and how full its
// battery is, from UPower.
#pragma once

#include "properties/Provider.h"

class PowerProvider : public ProviderOf<PowerProvider> {
public:
    static constexpr PropertyKey kAc{"DEVICE_POWER_AC", 0x01};
    static constexpr PropertyKey kBattery{"DEVICE_POWER_BATTERY", 0x02};

    using ProviderOf::ProviderOf;

    std::future<PropertyMap> getProperties() override;

    // The battery word for a charge percentage: "High" above 66, "Critical"
    // below 5, "Medium" from 33, else "Low".
    static std::string batteryLevel(double percentage);
};
