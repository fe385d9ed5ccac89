#include "support/UPowerService.h"

namespace TestSupport {

namespace {

constexpr const char* kMock = "org.freedesktop.DBus.Mock";

std::string parameters(UPowerLid lid, bool onBattery)
{
    auto word = [](bool value) { return value ? std::string("true") : std::string("false"); };
    return "{\"LidIsPresent\":" + word(lid.present) + ",\"LidIsClosed\":" + word(lid.closed) +
           ",\"OnBattery\":" + word(onBattery) + ",\"DaemonVersion\":\"0.99.20\"}";
}

std::string path(const VariantHandle& reply)
{
    const gchar* text = nullptr;
    g_variant_get(reply.get(), "(&s)", &text);
    return text;
}

}  // namespace

UPowerService::UPowerService(UPowerLid lid, bool onBattery)
    : _service("org.freedesktop.UPower", {"-t", "upower", "-p", parameters(lid, onBattery)})
{
}

std::string UPowerService::addDischargingBattery(const std::string& name, double percentage)
{
    return path(_service.call(kObject, kMock, "AddDischargingBattery",
                              g_variant_new("(ssdx)", name.c_str(), "Battery", percentage, gint64{3600})));
}

std::string UPowerService::addChargingBattery(const std::string& name, double percentage)
{
    return path(_service.call(kObject, kMock, "AddChargingBattery",
                              g_variant_new("(ssdx)", name.c_str(), "Battery", percentage, gint64{3600})));
}

std::string UPowerService::addLinePower(const std::string& name, bool online)
{
    const std::string device = path(_service.call(kObject, kMock, "AddAC", g_variant_new("(ss)", name.c_str(), "AC")));
    // The template leaves out the kind of its AC object: 1 is line power.
    _service.addProperty(device, kDeviceInterface, "Type", g_variant_new_uint32(1));
    setDeviceProperty(device, "Online", g_variant_new_boolean(online));
    return device;
}

std::string UPowerService::addDevice(const std::string& name, unsigned int kind, double percentage)
{
    const std::string device = std::string(kObject) + "/devices/" + name;
    GVariantBuilder properties;
    g_variant_builder_init(&properties, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&properties, "{sv}", "Type", g_variant_new_uint32(kind));
    g_variant_builder_add(&properties, "{sv}", "Percentage", g_variant_new_double(percentage));
    g_variant_builder_add(&properties, "{sv}", "State", g_variant_new_uint32(2));
    g_variant_builder_add(&properties, "{sv}", "IsPresent", g_variant_new_boolean(TRUE));
    _service.call(kObject, kMock, "AddObject",
                  g_variant_new("(ssa{sv}a(ssss))", device.c_str(), kDeviceInterface, &properties, nullptr));
    return device;
}

void UPowerService::setDeviceProperty(const std::string& path, const std::string& name, GVariant* value)
{
    _service.setProperty(path, kDeviceInterface, name, value);
}

void UPowerService::setLidClosed(bool closed)
{
    _service.setProperty(kObject, kInterface, "LidIsClosed", g_variant_new_boolean(closed));
}

}  // namespace TestSupport
