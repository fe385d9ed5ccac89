// SPDX-License-Identifier: Apache-2.0
// UPower on the private system bus (python-dbusmock's upower template), with
// the devices and lid a test needs.
#pragma once

#include "support/SystemBus.h"

#include <string>

namespace TestSupport {

struct UPowerLid {
    bool present = false;
    bool closed = false;
};

class UPowerService {
public:
    static constexpr const char* kObject = "/org/freedesktop/UPower";
    static constexpr const char* kInterface = "org.freedesktop.UPower";
    static constexpr const char* kDeviceInterface = "org.freedesktop.UPower.Device";

    explicit UPowerService(UPowerLid lid = {}, bool onBattery = false);

    // Each returns the device's object path; `name` becomes its last part.
    std::string addBattery(const std::string& name, double percentage, bool charging)
    {
        return add(charging ? "AddChargingBattery" : "AddDischargingBattery",
                   g_variant_new("(ssdx)", name.c_str(), "Battery", percentage, gint64{3600}));
    }
    std::string addLinePower(const std::string& name, bool online);
    // A device of any UPower kind number (5: mouse) with a charge level.
    std::string addDevice(const std::string& name, unsigned int kind, double percentage);

    // Changes one property of a device; `value` (floating) is consumed.
    void setDeviceProperty(const std::string& path, const std::string& name, GVariant* value)
    {
        _service.setProperty(path, kDeviceInterface, name, value);
    }
    // Opens or closes the lid the way upowerd does: a property change.
    void setLidClosed(bool closed)
    {
        _service.setProperty(kObject, kInterface, "LidIsClosed", g_variant_new_boolean(closed));
    }

    void stop() { _service.stop(); }

private:
    // Calls the mock's `method`, which gives an object path; `parameters` (floating) is consumed.
    std::string add(const char* method, GVariant* parameters);

    BusService _service;
};

}  // namespace TestSupport
