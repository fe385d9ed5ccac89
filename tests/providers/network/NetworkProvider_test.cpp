// The network provider against a real libnm client talking to NetworkManager
// (python-dbusmock's networkmanager template) on a private system bus. Every
// reading runs on the library's engine thread, moved into a network namespace
// of its own, where virtual interfaces and permanent neighbour entries are
// read back through the real kernel.
#include "providers/network/NetworkProvider.h"

#include "support/Categories.h"
#include "support/LogWatch.h"
#include "support/NetworkManagerService.h"
#include "support/NetworkNamespace.h"
#include "support/SystemBus.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <thread>
#include <tuple>

using TestSupport::AccessPointSecurity;
using TestSupport::IpConfiguration;
using TestSupport::LogWatch;
using TestSupport::NetworkManagerService;
using TestSupport::NetworkNamespace;
using TestSupport::TempDir;

namespace {

using Nw = NetworkProvider;

constexpr unsigned int kActivated = NetworkManagerService::kActivated;
constexpr unsigned int kDisconnected = NetworkManagerService::kDisconnected;

constexpr AccessPointSecurity kOpen{0x0, 0x0, 0x0};
constexpr AccessPointSecurity kPrivacyOnly{0x1, 0x0, 0x0};                  // WEP
constexpr AccessPointSecurity kWpa2Personal{0x1, 0x0, 0x188};               // RSN, CCMP, PSK
constexpr AccessPointSecurity kWpa2Enterprise{0x1, 0x0, 0x288};             // RSN, CCMP, 802.1X
constexpr AccessPointSecurity kWpaOnlyPersonal{0x1, 0x144, 0x0};            // WPA, TKIP, PSK
constexpr AccessPointSecurity kWpaOnlyEnterprise{0x1, 0x244, 0x0};          // WPA, TKIP, 802.1X
constexpr AccessPointSecurity kRsnPersonalOverWpaEnterprise{0x1, 0x244, 0x188};

const std::map<std::string, std::string> kLease{
    {"dhcp_server_identifier", "192.168.1.1"},
    {"dhcp_lease_time", "3600"},
    {"expiry", "1700003600"},
    {"domain_name", "office.example.com"},
};

constexpr int32_t kAddressBits = Nw::kIp.bit | Nw::kIPv4Enabled.bit | Nw::kIPv6Enabled.bit | Nw::kIPv4.bit |
                                 Nw::kIPv4Subnet.bit | Nw::kIPv6.bit | Nw::kIPv6Subnet.bit;
constexpr int32_t kDhcpBits = Nw::kDhcpServer.bit | Nw::kDhcpEnabled.bit | Nw::kDhcpLease.bit | Nw::kDhcpExpires.bit;
constexpr int32_t kWifiBits = Nw::kWifiSsid.bit | Nw::kWifiBssid.bit | Nw::kWifiStrength.bit | Nw::kWifiSecurity.bit;

// An office endpoint: the loopback, a wired interface with everything, a
// Wi-Fi interface that is not connected and one that is, with access points
// of every kind of security in reach.
struct Office {
    NetworkManagerService manager;
    std::string wired;
    std::string wireless;
    std::string officeAccessPoint;

    Office()
    {
        manager.addEthernetDevice("lo", kActivated, "00:00:00:00:00:00", 0);
        wired = manager.addEthernetDevice("eth0", kActivated, "52:54:00:12:34:56", 1000);
        manager.setIp4Config(wired, IpConfiguration{{{"192.168.1.20", 24}},
                                                    "192.168.1.1",
                                                    {"192.168.1.2", "192.168.1.3"},
                                                    {"office.example.com"},
                                                    {"192.168.1.4"}});
        manager.setIp6Config(wired, IpConfiguration{{{"fe80::1", 64}}, "", {"fe80::53"}, {"v6.example.com"}, {}});
        manager.setDhcp4Options(wired, kLease);
        manager.addWiFiDevice("wlan0", kDisconnected, "02:00:00:00:00:01", 0);
        wireless = manager.addWiFiDevice("wlan1", kActivated, "02:00:00:00:00:02", 54000);
        manager.addAccessPoint(wireless, "cafe", "Cafe", "0A:00:00:00:00:01", 40, kOpen);
        manager.addAccessPoint(wireless, "legacy", "Legacy", "0A:00:00:00:00:02", 20, kPrivacyOnly);
        officeAccessPoint = manager.addAccessPoint(wireless, "office", "Office", "a0:b1:c2:d3:e4:f5", 78,
                                                   kWpa2Personal);
        manager.addAccessPoint(wireless, "corporate", "Corporate", "0A:00:00:00:00:04", 65, kWpa2Enterprise);
        manager.setActiveAccessPoint(wireless, officeAccessPoint);
    }
};

class NetworkProviderTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { TestSupport::SystemBus::instance(); }

    // The interface that the wired device stands for in the neighbour
    // tables, with the IPv4 gateway's hardware address known.
    void addWiredNeighbours()
    {
        addWiredInterface();
        _network.command("ip neigh add 192.168.1.1 lladdr aa:bb:cc:dd:ee:ff dev eth0 nud permanent");
    }

    // The wired device's interface in the namespace: one end of a virtual
    // Ethernet pair (the kernel may lack dummy interfaces).
    void addWiredInterface()
    {
        _network.command("ip link add eth0 type veth peer name eth0-peer && ip link set eth0-peer up && "
                         "ip link set eth0 up");
    }

    // One reading on the engine thread.
    PropertyMap read(int32_t status = 2, int32_t filter = 0, const std::string& host = "20.1")
    {
        return _network.run([&] { return TestSupport::readProvider<NetworkProvider>("Network", status, filter, host); });
    }

    // Only the keys of one interface, without its index.
    static PropertyMap itemOf(const PropertyMap& properties, int index)
    {
        const std::string prefix = "DEVICE_NETWORK_" + std::to_string(index) + "_";
        PropertyMap item;
        for (const auto& [key, value] : properties) {
            if (key.rfind(prefix, 0) == 0) {
                item.emplace(key.substr(prefix.size()), value);
            }
        }
        return item;
    }

    NetworkNamespace _network;
};

}  // namespace

TEST_F(NetworkProviderTest, ReportsEveryActivatedInterfaceExceptTheLoopback)
{
    Office office;
    addWiredNeighbours();
    LogWatch log;
    const PropertyMap properties = read();
    SCOPED_TRACE(log.text());

    EXPECT_EQ(properties.at("DEVICE_NETWORK_COUNT"), "2");
    EXPECT_EQ(itemOf(properties, 0), (PropertyMap{
                                         {"STATUS", "Up"},
                                         {"NAME", "eth0"},
                                         // libnm's description of a device without vendor and product
                                         {"DESCRIPTION", "eth0"},
                                         {"TYPE", "Ethernet"},
                                         {"MAC", "52-54-00-12-34-56"},
                                         {"IPV4", "192.168.1.20"},
                                         {"IPV4_SUBNET", "192.168.1.0/24"},
                                         {"IPV6", "fe80::1"},
                                         {"IPV6_SUBNET", "fe80::/64"},
                                         {"DNS", "192.168.1.2;192.168.1.3;fe80::53"},
                                         {"DNS_SUFFIX", "office.example.com;v6.example.com"},
                                         {"GATEWAY", "192.168.1.1"},
                                         {"GATEWAY_MAC", "AA-BB-CC-DD-EE-FF"},
                                         {"WINS", "192.168.1.4"},
                                         {"SPEED", "1000000"},
                                         {"DHCP_SERVER", "192.168.1.1"},
                                         {"DHCP_ENABLED", "true"},
                                         {"DHCP_LEASE", "2023-11-14T22:13:20.000Z"},
                                         {"DHCP_EXPIRES", "2023-11-14T23:13:20.000Z"},
                                     }));
    // A Wi-Fi interface without IP or DHCP configuration, on its access point.
    EXPECT_EQ(itemOf(properties, 1), (PropertyMap{
                                         {"STATUS", "Up"},
                                         {"NAME", "wlan1"},
                                         {"DESCRIPTION", "wlan1"},
                                         {"TYPE", "WiFi"},
                                         {"MAC", "02-00-00-00-00-02"},
                                         {"IPV4", ""},
                                         {"IPV4_SUBNET", ""},
                                         {"IPV6", ""},
                                         {"IPV6_SUBNET", ""},
                                         {"DNS", ""},
                                         {"DNS_SUFFIX", ""},
                                         {"GATEWAY", ""},
                                         {"GATEWAY_MAC", ""},
                                         {"WINS", ""},
                                         {"SPEED", "54000"},
                                         {"DHCP_SERVER", "Unavailable"},
                                         {"DHCP_ENABLED", "Unavailable"},
                                         {"DHCP_LEASE", "Unavailable"},
                                         {"DHCP_EXPIRES", "Unavailable"},
                                         {"WIFI_SSID", "Office"},
                                         {"WIFI_BSSID", "a0-b1-c2-d3-e4-f5"},
                                         {"WIFI_STRENGTH", "78"},
                                         {"WIFI_SECURITY", "WPA2 Personal"},
                                     }));
    EXPECT_EQ(properties.size(), 1U + 19U + 23U);

    EXPECT_TRUE(log.contains("INFO - Invoking NETWORK properties in glib main context\n"));
    EXPECT_TRUE(log.contains("VERBOSE - Skipping network interface [lo] since loopback\n"));
    EXPECT_TRUE(log.contains("VERBOSE - Processing network interface [eth0] with status [Up]\n"));
    EXPECT_TRUE(log.contains("VERBOSE - Skipping network interface [wlan0] since status is [Down]\n"));
    EXPECT_TRUE(log.contains("VERBOSE - Processing network interface [wlan1] with status [Up]\n"));
    EXPECT_TRUE(log.contains("VERBOSE - Determined subnet: [192.168.1.0/24]\n"));
    EXPECT_TRUE(log.contains("VERBOSE - DHCP Lease Time is [3600]\n"));
    EXPECT_TRUE(log.contains("VERBOSE - DHCP Expiry is [1700003600]\n"));
    EXPECT_TRUE(log.contains("VERBOSE - Done getting NETWORK properties.\n"));
    EXPECT_FALSE(log.contains(" : ERROR - "));
    EXPECT_FALSE(log.contains(" : WARNING - "));
}

TEST_F(NetworkProviderTest, SkippedInterfacesGiveNoIndexAndAreLoggedWithTheirState)
{
    NetworkManagerService manager;
    manager.addEthernetDevice("eth0", 0, "52:54:00:00:00:01", 0);
    manager.addEthernetDevice("eth1", 20, "52:54:00:00:00:02", 0);
    manager.addEthernetDevice("eth2", 120, "52:54:00:00:00:03", 0);
    manager.addEthernetDevice("eth3", 15, "52:54:00:00:00:04", 0);
    manager.addEthernetDevice("eth4", kActivated, "52:54:00:00:00:05", 100);
    manager.addEthernetDevice("eth5", 110, "52:54:00:00:00:06", 0);
    manager.addEthernetDevice("eth6", kActivated, "52:54:00:00:00:07", 10);
    LogWatch log;
    EXPECT_EQ(read(1, Nw::kCount.bit | Nw::kName.bit | Nw::kSpeed.bit),
              (PropertyMap{{"DEVICE_NETWORK_COUNT", "2"},
                           {"DEVICE_NETWORK_0_NAME", "eth4"},
                           {"DEVICE_NETWORK_0_SPEED", "100000"},
                           {"DEVICE_NETWORK_1_NAME", "eth6"},
                           {"DEVICE_NETWORK_1_SPEED", "10000"}}));
    EXPECT_TRUE(log.contains("Skipping network interface [eth0] since status is [Unknown]\n"));
    EXPECT_TRUE(log.contains("Skipping network interface [eth1] since status is [Down]\n"));
    EXPECT_TRUE(log.contains("Skipping network interface [eth2] since status is [Down]\n"));
    EXPECT_TRUE(log.contains("Skipping network interface [eth3] since status is [15]\n"));
    EXPECT_TRUE(log.contains("Skipping network interface [eth5] since status is [Down]\n"));
}

TEST_F(NetworkProviderTest, HostsBefore20_1GetTheCombinedAddressKeys)
{
    Office office;
    for (const char* host : {"20.0.9.9", "20.0", "19.9.9.9", "1"}) {
        EXPECT_EQ(read(1, kAddressBits, host), (PropertyMap{
                                                   {"DEVICE_NETWORK_0_IP", "192.168.1.20/24;fe80::1"},
                                                   {"DEVICE_NETWORK_0_IPV4_ENABLED", "true"},
                                                   {"DEVICE_NETWORK_0_IPV6_ENABLED", "true"},
                                                   {"DEVICE_NETWORK_1_IP", ""},
                                                   {"DEVICE_NETWORK_1_IPV4_ENABLED", "false"},
                                                   {"DEVICE_NETWORK_1_IPV6_ENABLED", "false"},
                                               }))
            << host;
    }
    for (const char* host : {"20.1", "20.1.0.0", "20.1.5.1", "21.0", "20.2"}) {
        EXPECT_EQ(read(1, kAddressBits, host), (PropertyMap{
                                                   {"DEVICE_NETWORK_0_IPV4", "192.168.1.20"},
                                                   {"DEVICE_NETWORK_0_IPV4_SUBNET", "192.168.1.0/24"},
                                                   {"DEVICE_NETWORK_0_IPV6", "fe80::1"},
                                                   {"DEVICE_NETWORK_0_IPV6_SUBNET", "fe80::/64"},
                                                   {"DEVICE_NETWORK_1_IPV4", ""},
                                                   {"DEVICE_NETWORK_1_IPV4_SUBNET", ""},
                                                   {"DEVICE_NETWORK_1_IPV6", ""},
                                                   {"DEVICE_NETWORK_1_IPV6_SUBNET", ""},
                                               }))
            << host;
    }
}

TEST_F(NetworkProviderTest, SeveralAddressesAndAnIPv6OnlyInterface)
{
    NetworkManagerService manager;
    const std::string wired = manager.addEthernetDevice("eth0", kActivated, "52:54:00:00:00:01", 0);
    manager.setIp4Config(wired, IpConfiguration{{{"192.168.17.5", 20}, {"10.1.2.3", 8}, {"172.16.0.9", 32}},
                                                "",
                                                {},
                                                {},
                                                {}});
    manager.setIp6Config(wired, IpConfiguration{{{"2001:db8:1:2::7", 48}, {"fe80::1", 64}}, "", {}, {}, {}});
    const std::string only6 = manager.addEthernetDevice("eth1", kActivated, "52:54:00:00:00:02", 0);
    manager.setIp6Config(only6, IpConfiguration{{{"2001:db8::5", 128}}, "", {}, {}, {}});

    EXPECT_EQ(read(1, kAddressBits, "20.1"),
              (PropertyMap{
                  {"DEVICE_NETWORK_0_IPV4", "192.168.17.5;10.1.2.3;172.16.0.9"},
                  {"DEVICE_NETWORK_0_IPV4_SUBNET", "192.168.16.0/20;10.0.0.0/8;172.16.0.9/32"},
                  {"DEVICE_NETWORK_0_IPV6", "2001:db8:1:2::7;fe80::1"},
                  {"DEVICE_NETWORK_0_IPV6_SUBNET", "2001:db8:1::/48;fe80::/64"},
                  {"DEVICE_NETWORK_1_IPV4", ""},
                  {"DEVICE_NETWORK_1_IPV4_SUBNET", ""},
                  {"DEVICE_NETWORK_1_IPV6", "2001:db8::5"},
                  {"DEVICE_NETWORK_1_IPV6_SUBNET", "2001:db8::5/128"},
              }));
    EXPECT_EQ(read(1, kAddressBits, "20.0"),
              (PropertyMap{
                  {"DEVICE_NETWORK_0_IP", "192.168.17.5/20;10.1.2.3/8;172.16.0.9/32;2001:db8:1:2::7;fe80::1"},
                  {"DEVICE_NETWORK_0_IPV4_ENABLED", "true"},
                  {"DEVICE_NETWORK_0_IPV6_ENABLED", "true"},
                  {"DEVICE_NETWORK_1_IP", "2001:db8::5"},
                  {"DEVICE_NETWORK_1_IPV4_ENABLED", "false"},
                  {"DEVICE_NETWORK_1_IPV6_ENABLED", "true"},
              }));
}

TEST_F(NetworkProviderTest, NarrowFiltersReadOnlyWhatTheySelect)
{
    Office office;
    addWiredNeighbours();
    LogWatch log;
    EXPECT_EQ(read(1, Nw::kName.bit),
              (PropertyMap{{"DEVICE_NETWORK_0_NAME", "eth0"}, {"DEVICE_NETWORK_1_NAME", "wlan1"}}));
    EXPECT_EQ(read(1, Nw::kCount.bit), (PropertyMap{{"DEVICE_NETWORK_COUNT", "2"}}));
    EXPECT_EQ(read(1, Nw::kMac.bit | Nw::kType.bit),
              (PropertyMap{{"DEVICE_NETWORK_0_MAC", "52-54-00-12-34-56"},
                           {"DEVICE_NETWORK_0_TYPE", "Ethernet"},
                           {"DEVICE_NETWORK_1_MAC", "02-00-00-00-00-02"},
                           {"DEVICE_NETWORK_1_TYPE", "WiFi"}}));
    EXPECT_EQ(read(1, Nw::kGateway.bit | Nw::kDns.bit),
              (PropertyMap{{"DEVICE_NETWORK_0_DNS", "192.168.1.2;192.168.1.3;fe80::53"},
                           {"DEVICE_NETWORK_0_GATEWAY", "192.168.1.1"},
                           {"DEVICE_NETWORK_1_DNS", ""},
                           {"DEVICE_NETWORK_1_GATEWAY", ""}}));
    EXPECT_TRUE(read(1, 0).empty());
    EXPECT_TRUE(read(0, -1).empty());
    // Unused bits select nothing.
    EXPECT_TRUE(read(1, 0x800000 | 0x1000000).empty());
    // Neither the neighbour tables nor the DHCP options were looked at.
    EXPECT_FALSE(log.contains("Neighbour ["));
    EXPECT_FALSE(log.contains("DHCP"));
    EXPECT_FALSE(log.contains("Determined subnet"));

    EXPECT_EQ(read(1, Nw::kGatewayMac.bit), (PropertyMap{{"DEVICE_NETWORK_0_GATEWAY_MAC", "AA-BB-CC-DD-EE-FF"},
                                                         {"DEVICE_NETWORK_1_GATEWAY_MAC", ""}}));
    EXPECT_EQ(log.count("Neighbour [192.168.1.1] on interface [eth0]"), 1U);
}

TEST_F(NetworkProviderTest, GatewayMacComesFromBothNeighbourTables)
{
    NetworkManagerService manager;
    const std::string wired = manager.addEthernetDevice("eth0", kActivated, "52:54:00:00:00:01", 0);
    manager.setIp4Config(wired, IpConfiguration{{{"192.168.1.20", 24}}, "192.168.1.1", {}, {}, {}});
    manager.setIp6Config(wired, IpConfiguration{{{"fe80::1", 64}}, "fe80::fe", {}, {}, {}});
    constexpr int32_t bits = Nw::kGateway.bit | Nw::kGatewayMac.bit;

    // The interface exists but its neighbours are not known yet.
    addWiredInterface();
    EXPECT_EQ(read(1, bits),
              (PropertyMap{{"DEVICE_NETWORK_0_GATEWAY", "192.168.1.1;fe80::fe"}, {"DEVICE_NETWORK_0_GATEWAY_MAC", ""}}));

    _network.command("ip -6 neigh add fe80::fe lladdr 00:11:22:33:44:5a dev eth0 nud permanent");
    EXPECT_EQ(read(1, bits), (PropertyMap{{"DEVICE_NETWORK_0_GATEWAY", "192.168.1.1;fe80::fe"},
                                          {"DEVICE_NETWORK_0_GATEWAY_MAC", "00-11-22-33-44-5A"}}));

    _network.command("ip neigh add 192.168.1.1 lladdr aa:bb:cc:dd:ee:ff dev eth0 nud permanent");
    LogWatch log;
    EXPECT_EQ(read(1, bits), (PropertyMap{{"DEVICE_NETWORK_0_GATEWAY", "192.168.1.1;fe80::fe"},
                                          {"DEVICE_NETWORK_0_GATEWAY_MAC", "AA-BB-CC-DD-EE-FF;00-11-22-33-44-5A"}}));

    // An IPv4 gateway only: nothing of IPv6 is looked up.
    manager.setIp6Config(wired, IpConfiguration{{{"fe80::1", 64}}, "", {}, {}, {}});
    const LogWatch only4;
    EXPECT_EQ(read(1, bits), (PropertyMap{{"DEVICE_NETWORK_0_GATEWAY", "192.168.1.1"},
                                          {"DEVICE_NETWORK_0_GATEWAY_MAC", "AA-BB-CC-DD-EE-FF"}}));
    EXPECT_FALSE(only4.contains("Neighbour [fe80::fe]"));

    // An empty gateway is none: the neighbour tables are not listed.
    manager.setIp4Config(wired, IpConfiguration{{{"192.168.1.20", 24}}, "", {}, {}, {}});
    const LogWatch none;
    EXPECT_EQ(read(1, bits),
              (PropertyMap{{"DEVICE_NETWORK_0_GATEWAY", ""}, {"DEVICE_NETWORK_0_GATEWAY_MAC", ""}}));
    EXPECT_FALSE(none.contains("Neighbour [")) << none.text();
}

TEST_F(NetworkProviderTest, InterfaceNamesAndGatewaysAreDataNeverCommands)
{
    TempDir witness;
    NetworkManagerService manager;
    const std::string odd = manager.addEthernetDevice("eth9", kActivated, "52:54:00:00:00:09", 0);
    const std::string oddName = "e$(touch${IFS}" + witness.file("x") + ")";
    manager.setProperty(odd, "org.freedesktop.NetworkManager.Device", "Interface",
                        g_variant_new_string(oddName.c_str()));
    manager.setIp4Config(odd, IpConfiguration{{{"10.0.0.2", 24}}, "10.0.0.1", {}, {}, {}});
    const std::string wired = manager.addEthernetDevice("eth0", kActivated, "52:54:00:00:00:01", 0);
    const std::string oddGateway = "10.0.0.1;touch " + witness.file("y") + ";#";
    manager.setIp4Config(wired, IpConfiguration{{{"10.0.0.2", 24}}, oddGateway, {}, {}, {}});
    manager.setIp6Config(wired, IpConfiguration{{{"fe80::1", 64}}, "fe80::fe -a", {}, {}, {}});
    addWiredInterface();
    LogWatch log;
    EXPECT_EQ(read(1, Nw::kName.bit | Nw::kGatewayMac.bit), (PropertyMap{{"DEVICE_NETWORK_0_NAME", oddName},
                                                                         {"DEVICE_NETWORK_0_GATEWAY_MAC", "Unavailable"},
                                                                         {"DEVICE_NETWORK_1_NAME", "eth0"},
                                                                         {"DEVICE_NETWORK_1_GATEWAY_MAC", "Unavailable"}}));
    EXPECT_TRUE(log.contains("WARNING - Not looking up the hardware address of [" + oddGateway + "] on interface [eth0]"));
    EXPECT_FALSE(std::filesystem::exists(witness.file("x")));
    EXPECT_FALSE(std::filesystem::exists(witness.file("y")));
}

TEST_F(NetworkProviderTest, DhcpLeaseFromTheOptionTable)
{
    NetworkManagerService manager;
    const std::string wired = manager.addEthernetDevice("eth0", kActivated, "52:54:00:00:00:01", 0);
    auto dhcp = [&](const std::string& server, const std::string& enabled, const std::string& lease,
                    const std::string& expires) {
        return PropertyMap{{"DEVICE_NETWORK_0_DHCP_SERVER", server},
                           {"DEVICE_NETWORK_0_DHCP_ENABLED", enabled},
                           {"DEVICE_NETWORK_0_DHCP_LEASE", lease},
                           {"DEVICE_NETWORK_0_DHCP_EXPIRES", expires}};
    };
    const std::string unavailable = "Unavailable";
    // No DHCP configuration at all.
    EXPECT_EQ(read(1, kDhcpBits), dhcp(unavailable, unavailable, unavailable, unavailable));

    const std::string obtained = "2023-11-14T22:13:20.000Z";
    const std::string expires = "2023-11-14T23:13:20.000Z";
    struct Case {
        std::map<std::string, std::string> options;
        PropertyMap expected;
        const char* warning;  // the option a WARNING line names, or null
    };
    const Case cases[] = {
        {kLease, dhcp("192.168.1.1", "true", obtained, expires), nullptr},
        // Without a server identifier the lease is not a DHCP lease.
        {{{"dhcp_lease_time", "3600"}, {"expiry", "1700003600"}}, dhcp("", "false", "", ""), nullptr},
        {{}, dhcp("", "false", "", ""), nullptr},
        // A server without an expiry: the lease times are not known.
        {{{"dhcp_server_identifier", "10.0.0.1"}, {"dhcp_lease_time", "3600"}},
         dhcp("10.0.0.1", "true", unavailable, unavailable), nullptr},
        // Without a lease length the lease counts from its expiry.
        {{{"dhcp_server_identifier", "10.0.0.1"}, {"expiry", "1700003600"}}, dhcp("10.0.0.1", "true", expires, expires),
         nullptr},
        // Values that are no decimal int are left out.
        {{{"dhcp_server_identifier", "10.0.0.1"}, {"dhcp_lease_time", "1h"}, {"expiry", "1700003600"}},
         dhcp("10.0.0.1", "true", expires, expires), "dhcp_lease_time"},
        {{{"dhcp_server_identifier", "10.0.0.1"}, {"dhcp_lease_time", "3600"}, {"expiry", "soon"}},
         dhcp("10.0.0.1", "true", unavailable, unavailable), "expiry"},
        {{{"dhcp_server_identifier", "10.0.0.1"}, {"dhcp_lease_time", "3600"}, {"expiry", "99999999999"}},
         dhcp("10.0.0.1", "true", unavailable, unavailable), "expiry"},
        {{{"dhcp_server_identifier", "10.0.0.1"}, {"dhcp_lease_time", ""}, {"expiry", " 1700003600"}},
         dhcp("10.0.0.1", "true", unavailable, unavailable), "expiry"},
    };
    for (const Case& test : cases) {
        manager.setDhcp4Options(wired, test.options);
        LogWatch log;
        EXPECT_EQ(read(1, kDhcpBits), test.expected) << log.text();
        if (test.warning != nullptr) {
            EXPECT_TRUE(log.contains(std::string("WARNING - Ignoring DHCP option [") + test.warning + "]"))
                << log.text();
        } else {
            EXPECT_FALSE(log.contains("WARNING")) << log.text();
        }
    }

    // One DHCP key alone.
    manager.setDhcp4Options(wired, kLease);
    EXPECT_EQ(read(1, Nw::kDhcpExpires.bit), (PropertyMap{{"DEVICE_NETWORK_0_DHCP_EXPIRES", expires}}));
}

TEST_F(NetworkProviderTest, WifiSecurityOfTheActiveAccessPoint)
{
    Office office;
    EXPECT_EQ(read(1, kWifiBits), (PropertyMap{{"DEVICE_NETWORK_1_WIFI_SSID", "Office"},
                                               {"DEVICE_NETWORK_1_WIFI_BSSID", "a0-b1-c2-d3-e4-f5"},
                                               {"DEVICE_NETWORK_1_WIFI_STRENGTH", "78"},
                                               {"DEVICE_NETWORK_1_WIFI_SECURITY", "WPA2 Personal"}}));

    const std::tuple<const char*, AccessPointSecurity, const char*> accessPoints[] = {
        {"open", kOpen, "Open"},
        {"wep", kPrivacyOnly, "Other (0 and 0)"},
        {"personal", kWpa2Personal, "WPA2 Personal"},
        {"enterprise", kWpa2Enterprise, "WPA2 Enterprise"},
        {"wpapersonal", kWpaOnlyPersonal, "WPA2 Personal"},
        {"wpaenterprise", kWpaOnlyEnterprise, "WPA2 Enterprise"},
        {"mixed", kRsnPersonalOverWpaEnterprise, "WPA2 Personal"},
    };
    unsigned char strength = 10;
    for (const auto& [name, security, word] : accessPoints) {
        const std::string accessPoint =
            office.manager.addAccessPoint(office.wireless, name, name, "0E:00:00:00:00:01", strength, security);
        office.manager.setActiveAccessPoint(office.wireless, accessPoint);
        EXPECT_EQ(read(1, kWifiBits), (PropertyMap{{"DEVICE_NETWORK_1_WIFI_SSID", name},
                                                   {"DEVICE_NETWORK_1_WIFI_BSSID", "0E-00-00-00-00-01"},
                                                   {"DEVICE_NETWORK_1_WIFI_STRENGTH", std::to_string(strength)},
                                                   {"DEVICE_NETWORK_1_WIFI_SECURITY", word}}))
            << name;
        strength = static_cast<unsigned char>(strength + 10);
    }
    // Without an active access point the Wi-Fi keys are left out.
    office.manager.setActiveAccessPoint(office.wireless, "/");
    EXPECT_TRUE(read(1, kWifiBits).empty());
}

TEST_F(NetworkProviderTest, NoNetworkManagerGivesNoInterfaces)
{
    ASSERT_FALSE(TestSupport::SystemBus::instance().hasOwner("org.freedesktop.NetworkManager"));
    LogWatch log;
    EXPECT_EQ(read(), (PropertyMap{{"DEVICE_NETWORK_COUNT", "0"}}));
    EXPECT_TRUE(log.contains("Done getting NETWORK properties."));

    // NetworkManager going away between two readings.
    Office office;
    EXPECT_EQ(read(1, Nw::kCount.bit), (PropertyMap{{"DEVICE_NETWORK_COUNT", "2"}}));
    office.manager.stop();
    EXPECT_EQ(read(), (PropertyMap{{"DEVICE_NETWORK_COUNT", "0"}}));
}

TEST_F(NetworkProviderTest, ReadingOffTheEngineThreadGivesOnlyAnUnavailableCount)
{
    Office office;
    // Only the engine thread reads.
    auto readHere = [](int32_t status, int32_t filter) {
        PropertyMap properties;
        std::thread reader([&] {
            properties = TestSupport::readProvider<NetworkProvider>("Network", status, filter, "20.1");
        });
        reader.join();
        return properties;
    };
    LogWatch log;
    EXPECT_EQ(readHere(2, 0), (PropertyMap{{"DEVICE_NETWORK_COUNT", "Unavailable"}}));
    EXPECT_TRUE(readHere(1, Nw::kName.bit).empty());
    EXPECT_EQ(log.count("ERROR - NETWORK provider not invoked from main context. Will return unavailable.\n"), 2U);
    EXPECT_FALSE(log.contains("Invoking NETWORK properties"));

    // The owner still reads everything.
    EXPECT_EQ(read(1, Nw::kCount.bit), (PropertyMap{{"DEVICE_NETWORK_COUNT", "2"}}));
}

// Without any system bus the client cannot be made. GDBus keeps the first
// system bus of a process, so this reads in a new process made from this
// binary (a death test in the "threadsafe" style runs the binary again, up to
// the test's statement) whose system bus address leads nowhere.
class NetworkProviderWithoutBus : public ::testing::Test {
protected:
    void SetUp() override
    {
        _style = GTEST_FLAG_GET(death_test_style);
        GTEST_FLAG_SET(death_test_style, "threadsafe");
    }
    void TearDown() override { GTEST_FLAG_SET(death_test_style, _style); }

    static void readAndExit()
    {
        const PropertyMap properties = TestSupport::onEngine(
            [] { return TestSupport::readProvider<NetworkProvider>("Network", 2, 0, "20.1"); });
        std::_Exit(properties == PropertyMap{{"DEVICE_NETWORK_COUNT", "0"}} ? 0 : 1);
    }

    TestSupport::TempDir _files;

private:
    std::string _style;
};

TEST_F(NetworkProviderWithoutBus, CountIsZeroAndTheFailureLogged)
{
    const TestSupport::ScopedEnv bus("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + _files.file("no-bus"));
    const TestSupport::ScopedEnv logFile("CORVANE_LOGGING_FILE", _files.file("process.log"));
    const LogWatch log;
    EXPECT_EXIT(readAndExit(), ::testing::ExitedWithCode(0), "");
    SCOPED_TRACE(log.text());
    EXPECT_EQ(log.count("ERROR - Failed to connect to NetworkManager with error ["), 1U);
    EXPECT_TRUE(log.contains("VERBOSE - Done getting NETWORK properties.\n"));
    EXPECT_TRUE(log.contains("INFO - Invoking NETWORK properties in glib main context\n"));
}
