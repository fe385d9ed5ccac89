// SPDX-License-Identifier: Apache-2.0
#include "support/UPowerService.h"

namespace TestSupport {

namespace {

std::string parameters(UPowerLid lid, bool onBattery)
{
    auto word = [](bool value) { return value ? std::string("true") : std::string("false"); };
    return "{\"LidIsPresent\":" + word(lid.present) + ",\"LidIsClosed\":" + word(lid.closed) +
           ",\"OnBattery\":" + word(onBattery) + ",\"DaemonVersion\":\"0.99.20\"}";
}

}  // namespace

UPowerService::UPowerService(UPowerLid lid, bool onBattery)
    : _service("org.freedesktop.UPower", {"-t", "upower", "-p", parameters(lid, onBattery)})
{
}

std::string UPowerService::add(const char* method, GVariant* parameters)
{
    const VariantHandle reply = _service.call(kObject, "org.freedesktop.DBus.Mock", method, parameters);
    const gchar* path = nullptr;
    g_variant_get(reply.get(), "(&s)", &path);
    return path;
}

std::string UPowerService::addLinePower(const std::string& name, bool online)
{
    const std::string device = add("AddAC", g_variant_new("(ss)", name.c_str(), "AC"));
    // The template leaves out the kind of its AC object: 1 is line power.
    _service.addProperty(device, kDeviceInterface, "Type", g_variant_new_uint32(1));
    setDeviceProperty(device, "Online", g_variant_new_boolean(online));
    return device;
}

std::string UPowerService::addDevice(const std::string& name, unsigned int kind, double percentage)
{
    const std::string device = std::string(kObject) + "/devices/" + name;
    // State 2: discharging.
    _service.call(kObject, "org.freedesktop.DBus.Mock", "AddObject",
                  g_variant_new_parsed("(%s, %s, {'Type': <%u>, 'Percentage': <%d>, 'State': <uint32 2>, "
                                       "'IsPresent': <true>}, @a(ssss) [])",
                                       device.c_str(), kDeviceInterface, kind, percentage));
    return device;
}

}  // namespace TestSupport
