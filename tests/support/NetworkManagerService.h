// SPDX-License-Identifier: Apache-2.0
// NetworkManager on the private system bus (python-dbusmock's networkmanager template), with the devices, IP and
// DHCP configurations and access points a test needs. libnm reads the whole object tree when its client is created,
// so everything is set before the reading it is meant for.
#pragma once
#include "support/SystemBus.h"

#include <sys/socket.h>

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace TestSupport {
// One IP configuration of a device.
struct IpConfiguration {
    std::vector<std::pair<std::string, unsigned int>> addresses;  // address, prefix length
    std::string gateway;
    std::vector<std::string> nameservers, domains, winsServers;  // WINS servers: IPv4 only
};
// The security flags of an access point, as NetworkManager reports them (flags 0x1: privacy).
struct AccessPointSecurity {
    unsigned int flags = 0, wpaFlags = 0, rsnFlags = 0;
};
class NetworkManagerService {
public:
    static constexpr unsigned int kActivated = 100;
    static constexpr unsigned int kDisconnected = 30;
    static constexpr const char* kDeviceInterface = "org.freedesktop.NetworkManager.Device";
    static constexpr const char* kWiredInterface = "org.freedesktop.NetworkManager.Device.Wired";
    static constexpr const char* kWirelessInterface = "org.freedesktop.NetworkManager.Device.Wireless";
    static constexpr const char* kAccessPointInterface = "org.freedesktop.NetworkManager.AccessPoint";
    NetworkManagerService()
        : _service("org.freedesktop.NetworkManager", {"-t", "networkmanager", "-p", "{\"Version\":\"1.42.4\"}"}) {}
    // Each returns the device's object path; the interface name is its last part.
    std::string addEthernetDevice(const std::string& interface, unsigned int state, const std::string& mac,
                                  unsigned int speed)
    {
        return addDevice("AddEthernetDevice", kWiredInterface, interface, state, mac, "Speed", speed);
    }
    std::string addWiFiDevice(const std::string& interface, unsigned int state, const std::string& mac,
                              unsigned int bitrate)
    {
        return addDevice("AddWiFiDevice", kWirelessInterface, interface, state, mac, "Bitrate", bitrate);
    }
    // An access point seen by a Wi-Fi device; returns its object path.
    std::string addAccessPoint(const std::string& device, const std::string& name, const std::string& ssid,
                               const std::string& bssid, unsigned char strength, AccessPointSecurity security);
    void setActiveAccessPoint(const std::string& device, const std::string& accessPoint)
    {
        put(device, kWirelessInterface, "ActiveAccessPoint", g_variant_new_object_path(accessPoint.c_str()));
    }
    // The device's IP configuration of `family` (AF_INET or AF_INET6).
    void setIpConfig(const std::string& device, int family, const IpConfiguration& configuration);
    // The device's DHCP4 configuration with these options; a second call replaces the options.
    void setDhcp4Options(const std::string& device, const std::map<std::string, std::string>& options);
    void setProperty(const std::string& path, const std::string& interface, const std::string& name, GVariant* value)
    {
        _service.setProperty(path, interface, name, value);
    }
    void stop() { _service.stop(); }

private:
    std::string addDevice(const char* method, const char* typeInterface, const std::string& interface,
                          unsigned int state, const std::string& mac, const char* rate, unsigned int value);
    // An object of NetworkManager's interface `kind` with `properties` (GLib's text form), the device's `property`.
    void addConfigObject(const std::string& device, const std::string& kind, const char* property,
                         const std::string& properties);
    // Adds the property the first time, sets it afterwards.
    void put(const std::string& path, const std::string& interface, const std::string& name, GVariant* value);

    BusService _service;
    int _objects = 0;
    std::map<std::string, std::string> _configs;  // "device kind" -> the object
    std::set<std::string> _added;                 // properties added beyond the template's
};
}  // namespace TestSupport
