// SPDX-License-Identifier: Apache-2.0
// UPower on the private system bus (python-dbusmock's upower template), with the devices and lid a test needs.
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
    static constexpr const char* kDeviceInterface = "org.freedesktop.UPower.Device";
    explicit UPowerService(UPowerLid lid = {}, bool onBattery = false)
        : _service("org.freedesktop.UPower", {"-t", "upower", "-p", "{\"LidIsPresent\":" + word(lid.present) +
                                                  ",\"LidIsClosed\":" + word(lid.closed) + ",\"OnBattery\":" +
                                                  word(onBattery) + ",\"DaemonVersion\":\"0.99.20\"}"})
    {
    }
    // Each returns the device's object path; `name` becomes its last part.
    std::string addBattery(const std::string& name, double percentage, bool charging)
    {
        return add(charging ? "AddChargingBattery" : "AddDischargingBattery",
                   g_variant_new("(ssdx)", name.c_str(), "Battery", percentage, gint64{3600}));
    }
    std::string addLinePower(const std::string& name, bool online)
    {
        const std::string device = add("AddAC", g_variant_new("(ss)", name.c_str(), "AC"));
        // The template leaves out the kind of its AC object: 1 is line power.
        _service.addProperty(device, kDeviceInterface, "Type", g_variant_new_uint32(1));
        setDeviceProperty(device, "Online", g_variant_new_boolean(online));
        return device;
    }
    // A device of any UPower kind number (5: mouse) with a charge level, discharging (state 2).
    std::string addDevice(const std::string& name, unsigned int kind, double percentage)
    {
        const std::string device = std::string(kObject) + "/devices/" + name;
        _service.call(kObject, "org.freedesktop.DBus.Mock", "AddObject",
                      g_variant_new_parsed("(%s, %s, {'Type': <%u>, 'Percentage': <%d>, 'State': <uint32 2>, "
                                           "'IsPresent': <true>}, @a(ssss) [])",
                                           device.c_str(), kDeviceInterface, kind, percentage));
        return device;
    }
    // Changes one property of a device; `value` (floating) is consumed.
    void setDeviceProperty(const std::string& path, const std::string& name, GVariant* value)
    {
        _service.setProperty(path, kDeviceInterface, name, value);
    }
    // Opens or closes the lid the way upowerd does: a property change.
    void setLidClosed(bool closed)
    {
        _service.setProperty(kObject, "org.freedesktop.UPower", "LidIsClosed", g_variant_new_boolean(closed));
    }
    // From now on UPower lists its devices only after `seconds`, as a service
    // that hangs does (the service answers nothing else meanwhile).
    void listDevicesAfter(int seconds)
    {
        const std::string code = "import time\ntime.sleep(" + std::to_string(seconds) +
                                 ")\nret = [p for p in objects if p.startswith('" + kObject +
                                 "/devices/') and not p.endswith('/DisplayDevice')]";
        _service.call(kObject, "org.freedesktop.DBus.Mock", "AddMethod",
                      g_variant_new("(sssss)", "org.freedesktop.UPower", "EnumerateDevices", "", "ao", code.c_str()));
    }
    void stop() { _service.stop(); }

private:
    static std::string word(bool value) { return value ? "true" : "false"; }
    // Calls the mock's `method`, which gives an object path; `parameters` (floating) is consumed.
    std::string add(const char* method, GVariant* parameters)
    {
        const VariantHandle reply = _service.call(kObject, "org.freedesktop.DBus.Mock", method, parameters);
        const gchar* path = nullptr;
        g_variant_get(reply.get(), "(&s)", &path);
        return path;
    }
    BusService _service;
};
}  // namespace TestSupport
