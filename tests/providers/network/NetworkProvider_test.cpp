// SPDX-License-Identifier: Apache-2.0
// The network provider against a real libnm client talking to NetworkManager
// (python-dbusmock's networkmanager template) on a private system bus. Every
// reading runs on the library's engine thread, moved into a network namespace
// of its own, where virtual interfaces and permanent neighbour entries are
// read back through the real kernel.
#include "providers/network/NetworkProvider.h"

#include "providers/network/KernelNetwork.h"

#include "support/Categories.h"
#include "support/LogWatch.h"
#include "support/MainLoop.h"
#include "support/MountNamespace.h"
#include "support/NetworkManagerService.h"
#include "support/NetworkNamespace.h"
#include "support/SystemBus.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <net/if.h>
#include <sys/time.h>

#include <atomic>
#include <filesystem>
#include <thread>
#include <tuple>

using namespace TestSupport;

namespace {

using Nw = NetworkProvider;

constexpr unsigned int kActivated = NetworkManagerService::kActivated;
constexpr AccessPointSecurity kWpa2Personal{0x1, 0x0, 0x188};  // RSN, CCMP, PSK

constexpr int32_t kDhcpBits = Nw::kDhcpServer.bit | Nw::kDhcpEnabled.bit | Nw::kDhcpLease.bit | Nw::kDhcpExpires.bit;
constexpr int32_t kWifiBits = Nw::kWifiSsid.bit | Nw::kWifiBssid.bit | Nw::kWifiStrength.bit | Nw::kWifiSecurity.bit;

// An office endpoint: the loopback, a wired interface with everything, wired
// interfaces that are not activated (unknown, unavailable, deactivating,
// failed), a Wi-Fi interface that is disconnected and one that is on its
// access point.
struct Office {
    NetworkManagerService manager;
    std::string wired, wireless;

    Office()
    {
        manager.addEthernetDevice("lo", kActivated, "00:00:00:00:00:00", 0);
        wired = manager.addEthernetDevice("eth0", kActivated, "52:54:00:12:34:56", 1000);
        manager.setIpConfig(wired, AF_INET, IpConfiguration{{{"192.168.1.20", 24}, {"10.1.2.3", 12}},
                                                    "192.168.1.1",
                                                    {"192.168.1.2", "192.168.1.3"},
                                                    {"office.example.com"},
                                                    {"192.168.1.4"}});
        manager.setIpConfig(wired, AF_INET6, IpConfiguration{{{"2001:db8:1:2::7", 48}}, "", {"fe80::53"}, {"v6.example.com"}, {}});
        manager.setDhcp4Options(
            wired, {{"dhcp_server_identifier", "192.168.1.1"}, {"dhcp_lease_time", "3600"}, {"expiry", "1700003600"}});
        for (unsigned int state : {0U, 20U, 110U, 120U}) {
            manager.addEthernetDevice("off" + std::to_string(state), state, "52:54:00:00:00:01", 10);
        }
        manager.addWiFiDevice("wlan0", NetworkManagerService::kDisconnected, "02:00:00:00:00:01", 0);
        wireless = manager.addWiFiDevice("wlan1", kActivated, "02:00:00:00:00:02", 54000);
        manager.addAccessPoint(wireless, "cafe", "Cafe", "0A:00:00:00:00:01", 40, {});
        manager.setActiveAccessPoint(wireless, manager.addAccessPoint(wireless, "office", "Office",
                                                                      "a0:b1:c2:d3:e4:f5", 78, kWpa2Personal));
    }
};

class NetworkProviderTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { SystemBus::instance(); }

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
        return _network.run([&] { return readProvider<NetworkProvider>("Network", status, filter, host); });
    }

    NetworkNamespace _network;
};

}  // namespace

TEST_F(NetworkProviderTest, ReportsEveryActivatedInterfaceExceptTheLoopback)
{
    Office office;
    addWiredInterface();
    _network.command("ip neigh add 192.168.1.1 lladdr aa:bb:cc:dd:ee:ff dev eth0 nud permanent");
    LogWatch log;
    PropertyMap expected{
        {"COUNT", "2"}, {"0_STATUS", "Up"}, {"0_NAME", "eth0"},
        {"0_DESCRIPTION", "eth0"},  // libnm's description of a device without vendor and product
        {"0_TYPE", "Ethernet"}, {"0_MAC", "52-54-00-12-34-56"}, {"0_IPV4", "192.168.1.20;10.1.2.3"},
        {"0_IPV4_SUBNET", "192.168.1.0/24;10.0.0.0/12"}, {"0_IPV6", "2001:db8:1:2::7"},
        {"0_IPV6_SUBNET", "2001:db8:1::/48"}, {"0_DNS", "192.168.1.2;192.168.1.3;fe80::53"},
        {"0_DNS_SUFFIX", "office.example.com;v6.example.com"}, {"0_GATEWAY", "192.168.1.1"},
        {"0_GATEWAY_MAC", "AA-BB-CC-DD-EE-FF"}, {"0_WINS", "192.168.1.4"}, {"0_SPEED", "1000000"},
        {"0_DHCP_SERVER", "192.168.1.1"}, {"0_DHCP_ENABLED", "true"}, {"0_DHCP_LEASE", "2023-11-14T22:13:20.000Z"},
        {"0_DHCP_EXPIRES", "2023-11-14T23:13:20.000Z"},
        // A Wi-Fi interface without IP or DHCP configuration, on its access point.
        {"1_STATUS", "Up"}, {"1_NAME", "wlan1"}, {"1_DESCRIPTION", "wlan1"}, {"1_TYPE", "WiFi"},
        {"1_MAC", "02-00-00-00-00-02"}, {"1_SPEED", "54000"}, {"1_DHCP_SERVER", "Unavailable"},
        {"1_DHCP_ENABLED", "Unavailable"}, {"1_DHCP_LEASE", "Unavailable"}, {"1_DHCP_EXPIRES", "Unavailable"},
        {"1_WIFI_SSID", "Office"}, {"1_WIFI_BSSID", "a0-b1-c2-d3-e4-f5"}, {"1_WIFI_STRENGTH", "78"},
        {"1_WIFI_SECURITY", "WPA2 Personal"},
    };
    for (const char* empty : {"IPV4", "IPV4_SUBNET", "IPV6", "IPV6_SUBNET", "DNS", "DNS_SUFFIX", "GATEWAY",
                              "GATEWAY_MAC", "WINS"}) {
        expected[std::string("1_") + empty] = "";
    }
    PropertyMap withPrefix;
    for (const auto& [key, value] : expected) withPrefix["DEVICE_NETWORK_" + key] = value;
    EXPECT_EQ(read(), withPrefix);
    EXPECT_FALSE(log.contains(" : ERROR - ")) << log.text();
    EXPECT_FALSE(log.contains(" : WARNING - ")) << log.text();

    EXPECT_EQ(read(1, Nw::kName.bit | Nw::kSpeed.bit | 0x800000, "21.0").size(), 4U);  // unused bits select nothing

    // Without an active access point the Wi-Fi keys are left out.
    office.manager.setActiveAccessPoint(office.wireless, "/");
    EXPECT_TRUE(read(1, kWifiBits).empty());

    // Off the engine thread only an unavailable count.
    PropertyMap offEngine;
    std::thread([&] { offEngine = readProvider<NetworkProvider>("Network", 2, 0, "20.1"); }).join();
    EXPECT_EQ(offEngine, (PropertyMap{{"DEVICE_NETWORK_COUNT", "Unavailable"}}));
    EXPECT_TRUE(log.contains("ERROR - NETWORK provider not invoked from main context. Will return unavailable.\n"));

    // NetworkManager going away between two readings: the kernel's interfaces then, eth0 and its peer.
    office.manager.stop();
    EXPECT_EQ(read(1, Nw::kCount.bit), (PropertyMap{{"DEVICE_NETWORK_COUNT", "2"}}));
}

TEST_F(NetworkProviderTest, DhcpLeaseAndWifiSecurityRules)
{
    Office office;
    const char* const no = "Unavailable";
    const char* const expires = "2023-11-14T23:13:20.000Z";
    // {options, server, enabled, lease, expiry, the option warned about}
    const std::tuple<std::map<std::string, std::string>, const char*, const char*, const char*, const char*,
                     const char*> leases[] = {
        // Without a server identifier the lease is not a DHCP lease.
        {{{"dhcp_lease_time", "3600"}, {"expiry", "1700003600"}}, "", "false", "", "", nullptr},
        {{{"dhcp_server_identifier", "10.0.0.1"}, {"dhcp_lease_time", "3600"}}, "10.0.0.1", "true", no, no, nullptr},
        // Without a lease length the lease counts from its expiry.
        {{{"dhcp_server_identifier", "10.0.0.1"}, {"dhcp_lease_time", "1h"}, {"expiry", "1700003600"}}, "10.0.0.1",
         "true", expires, expires, "dhcp_lease_time"},
        {{{"dhcp_server_identifier", "10.0.0.1"}, {"dhcp_lease_time", "3600"}, {"expiry", "99999999999"}}, "10.0.0.1",
         "true", no, no, "expiry"},
    };
    for (const auto& [options, server, enabled, lease, expiry, warning] : leases) {
        office.manager.setDhcp4Options(office.wired, options);
        LogWatch log;
        PropertyMap expected{{"DEVICE_NETWORK_0_DHCP_SERVER", server}, {"DEVICE_NETWORK_0_DHCP_ENABLED", enabled},
                             {"DEVICE_NETWORK_0_DHCP_LEASE", lease}, {"DEVICE_NETWORK_0_DHCP_EXPIRES", expiry}};
        for (const char* key : {"SERVER", "ENABLED", "LEASE", "EXPIRES"}) {
            expected[std::string("DEVICE_NETWORK_1_DHCP_") + key] = no;
        }
        EXPECT_EQ(read(1, kDhcpBits), expected) << log.text();
        EXPECT_EQ(log.contains(std::string("WARNING - Ignoring DHCP option [") + (warning ? warning : "")),
                  warning != nullptr)
            << log.text();
    }

    EXPECT_EQ(Nw::securityFromFlags(0x0, 0x0, 0x0), "Open");
    EXPECT_EQ(Nw::securityFromFlags(0x1, 0x0, 0x0), "Other (0 and 0)");
    EXPECT_EQ(Nw::securityFromFlags(0x1, 0x0, 0x288), "WPA2 Enterprise");
    EXPECT_EQ(Nw::securityFromFlags(0x1, 0x244, 0x188), "WPA2 Personal");
}

TEST_F(NetworkProviderTest, GatewayMacComesFromBothNeighbourTablesAndNamesAreNeverCommands)
{
    NetworkManagerService manager;
    const std::string wired = manager.addEthernetDevice("eth0", kActivated, "52:54:00:00:00:01", 0);
    manager.setIpConfig(wired, AF_INET, IpConfiguration{{{"192.168.1.20", 24}}, "192.168.1.1", {}, {}, {}});
    manager.setIpConfig(wired, AF_INET6, IpConfiguration{{{"fe80::1", 64}}, "fe80::fe", {}, {}, {}});
    constexpr int32_t bits = Nw::kGatewayMac.bit;
    addWiredInterface();
    // The neighbours are not known yet: nothing to report, yet no failure. A watching provider keeps
    // NetworkManager's answer, yet sees the neighbours the kernel learns, which nothing announces.
    NetworkProvider watching(category("Network", 1, bits), "20.1");
    _network.run([&] {
        watching.monitorForChanges([](std::shared_ptr<Category const>) {});
        watching.awaitMonitoring();
    });
    const auto readWatching = [&] { return _network.run([&] { return watching.getProperties().get(); }); };
    EXPECT_EQ(readWatching(), (PropertyMap{{"DEVICE_NETWORK_0_GATEWAY_MAC", ""}}));
    _network.command("ip -6 neigh add fe80::fe lladdr 00:11:22:33:44:5a dev eth0 nud permanent");
    _network.command("ip neigh add 192.168.1.1 lladdr aa:bb:cc:dd:ee:ff dev eth0 nud permanent");
    EXPECT_EQ(readWatching(), (PropertyMap{{"DEVICE_NETWORK_0_GATEWAY_MAC", "AA-BB-CC-DD-EE-FF;00-11-22-33-44-5A"}}));
    _network.run([&] { watching.close(); });

    // Interface names and gateways that could be shell commands are only data.
    TempDir witness;
    const std::string odd = manager.addEthernetDevice("eth9", kActivated, "52:54:00:00:00:09", 0);
    const std::string oddName = "e$(touch${IFS}" + witness.file("x") + ")";
    manager.setProperty(odd, NetworkManagerService::kDeviceInterface, "Interface",
                        g_variant_new_string(oddName.c_str()));
    manager.setIpConfig(odd, AF_INET, IpConfiguration{{{"10.0.0.2", 24}}, "10.0.0.1", {}, {}, {}});
    const std::string oddGateway = "10.0.0.1;touch " + witness.file("y") + ";#";
    manager.setIpConfig(wired, AF_INET, IpConfiguration{{{"10.0.0.2", 24}}, oddGateway, {}, {}, {}});
    manager.setIpConfig(wired, AF_INET6, IpConfiguration{{{"fe80::1", 64}}, "fe80::fe -a", {}, {}, {}});
    LogWatch log;
    EXPECT_EQ(read(1, bits), (PropertyMap{{"DEVICE_NETWORK_0_GATEWAY_MAC", "Unavailable"},
                                          {"DEVICE_NETWORK_1_GATEWAY_MAC", "Unavailable"}}));
    EXPECT_TRUE(log.contains("WARNING - Not looking up the hardware address of [" + oddGateway + "] on interface [eth0]"));
    EXPECT_FALSE(std::filesystem::exists(witness.file("x")));
    EXPECT_FALSE(std::filesystem::exists(witness.file("y")));
}

// Without NetworkManager the kernel's interfaces are reported: those up and running, except the loopback, with the
// same keys; what only NetworkManager knows has its failure value.
TEST_F(NetworkProviderTest, WithoutNetworkManagerTheKernelsInterfacesAreReported)
{
    const TempDir files;
    const ScopedMount resolver(files.write("resolv.conf", "# by hand\nnameserver 192.0.2.53\nnameserver 2001:db8::53\n"
                                                          "search corp.example lab.example\n"),
                               "/etc/resolv.conf");
    _network.command("ip link add eth0 type veth peer name eth0-peer && ip link set eth0 address 52:54:00:12:34:56 && "
                     "ip link set eth0 addrgenmode none && ip link set eth0-peer addrgenmode none && "
                     "ip link set eth0-peer up && ip link set eth0 up && ip addr add 192.168.1.20/24 dev eth0 && "
                     "ip addr add 10.1.2.3/12 dev eth0 && ip -6 addr add 2001:db8:1:2::7/48 dev eth0 nodad && "
                     "ip route add default via 192.168.1.1 dev eth0 && "
                     "ip -6 route add default via 2001:db8:1::1 dev eth0 && "
                     "ip neigh add 192.168.1.1 lladdr aa:bb:cc:dd:ee:ff dev eth0 nud permanent && "
                     "ip link add down0 type veth peer name down0-peer");
    const PropertyMap all = read();
    ASSERT_EQ(all.at("DEVICE_NETWORK_COUNT"), "2");  // eth0 and its peer; not the loopback, not down0
    const std::string key = all.at("DEVICE_NETWORK_0_NAME") == "eth0" ? "DEVICE_NETWORK_0_" : "DEVICE_NETWORK_1_";
    const std::map<std::string, std::string> expected{
        {"STATUS", "Up"}, {"NAME", "eth0"}, {"DESCRIPTION", "Unavailable"}, {"TYPE", "Ethernet"},
        {"MAC", "52-54-00-12-34-56"}, {"IPV4", "192.168.1.20;10.1.2.3"}, {"IPV4_SUBNET", "192.168.1.0/24;10.0.0.0/12"},
        {"IPV6", "2001:db8:1:2::7"}, {"IPV6_SUBNET", "2001:db8:1::/48"}, {"DNS", "192.0.2.53;2001:db8::53"},
        {"DNS_SUFFIX", "corp.example;lab.example"}, {"GATEWAY", "192.168.1.1;2001:db8:1::1"},
        {"GATEWAY_MAC", "AA-BB-CC-DD-EE-FF;"}, {"WINS", ""}, {"SPEED", "Unavailable"},
        {"DHCP_ENABLED", "Unavailable"}, {"DHCP_SERVER", "Unavailable"}, {"DHCP_LEASE", "Unavailable"},
        {"DHCP_EXPIRES", "Unavailable"}};
    for (const auto& [name, value] : expected) EXPECT_EQ(all.at(key + name), value) << name;
    EXPECT_EQ(all.size(), 1 + 2 * expected.size());
    // systemd-networkd's lease, written at 1700000000 for an hour.
    const ScopedTmpfs run("/run");
    const unsigned int index = _network.run([] { return if_nametoindex("eth0"); });
    const std::string lease = run.write("systemd/netif/leases/" + std::to_string(index),
                                        "# This is private data. Do not parse.\nADDRESS=192.168.1.20\n"
                                        "SERVER_ADDRESS=192.168.1.1\nLIFETIME=3600\n");
    const timeval written[2] = {{1700000000, 0}, {1700000000, 0}};
    ASSERT_EQ(utimes(lease.c_str(), written), 0);
    const PropertyMap dhcp = read(1, kDhcpBits);
    EXPECT_EQ(dhcp.at(key + "DHCP_SERVER"), "192.168.1.1");
    EXPECT_EQ(dhcp.at(key + "DHCP_ENABLED"), "true");
    EXPECT_EQ(dhcp.at(key + "DHCP_LEASE"), "2023-11-14T22:13:20.000Z");
    EXPECT_EQ(dhcp.at(key + "DHCP_EXPIRES"), "2023-11-14T23:13:20.000Z");

    // systemd-resolved, when it runs, gives the interface's own servers and domains, then the global ones.
    {
        BusService resolved("org.freedesktop.resolve1", {"org.freedesktop.resolve1", "/org/freedesktop/resolve1",
                                                         "org.freedesktop.resolve1.Manager"});
        const std::string link = std::to_string(index), other = std::to_string(index + 100);
        resolved.addProperty("/org/freedesktop/resolve1", "org.freedesktop.resolve1.Manager", "DNS",
                             g_variant_new_parsed(("[(0, 2, [byte 9, 9, 9, 9]), (" + other + ", 2, [byte 8, 8, 8, 8]), (" +
                                                   link + ", 10, [byte 0x20, 1, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, "
                                                   "0, 0, 0x53]), (" + link + ", 2, [byte 1, 2, 3])]")
                                                      .c_str()));
        resolved.addProperty("/org/freedesktop/resolve1", "org.freedesktop.resolve1.Manager", "Domains",
                             g_variant_new_parsed(("[(" + link + ", 'corp.example', false), (0, 'global.example', false), (" +
                                                   link + ", 'route.example', true)]")
                                                      .c_str()));
        const PropertyMap names = read(1, Nw::kDns.bit | Nw::kDnsSuffix.bit);
        EXPECT_EQ(names.at(key + "DNS"), "2001:db8::53;9.9.9.9");
        EXPECT_EQ(names.at(key + "DNS_SUFFIX"), "corp.example;global.example");
        // Where no system bus can be reached, the servers are resolv.conf's.
        const ScopedEnv nowhere("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + files.file("no-bus"));
        const PropertyMap withoutBus = read(1, Nw::kDns.bit | Nw::kDnsSuffix.bit);
        EXPECT_EQ(withoutBus.at(key + "DNS"), "192.0.2.53;2001:db8::53");
        EXPECT_EQ(withoutBus.at(key + "DNS_SUFFIX"), "corp.example;lab.example");
    }

    // Hosts before 20.1 read the addresses together; only the selected keys come.
    EXPECT_EQ(read(1, Nw::kIp.bit | Nw::kIPv4Enabled.bit, "19.0").at(key + "IP"),
              "192.168.1.20/24;10.1.2.3/12;2001:db8:1:2::7");
    EXPECT_EQ(read(1, Nw::kCount.bit), (PropertyMap{{"DEVICE_NETWORK_COUNT", "2"}}));

    // The kernel announces links, addresses and routes changing; a watched provider keeps its reading of them
    // until it does, so each change shows in its next reading.
    std::atomic<int> changes{0};
    NetworkProvider provider(category("Network"), "20.1");
    _network.run([&] {
        provider.monitorForChanges([&changes](std::shared_ptr<Category const>) { ++changes; });
        provider.awaitMonitoring();
    });
    const auto watched = [&] { return _network.run([&] { return provider.getProperties().get(); }); };
    EXPECT_EQ(watched().at(key + "IPV4"), "192.168.1.20;10.1.2.3");
    // The peer going down takes eth0's carrier too: nothing is up and running then.
    for (const auto& [change, name, shows] : std::initializer_list<std::tuple<const char*, std::string, const char*>>{
             {"ip addr add 192.168.2.20/24 dev eth0", key + "IPV4", "192.168.1.20;10.1.2.3;192.168.2.20"},
             {"ip -6 route add 2001:db8:9::/48 via 2001:db8:1::1 dev eth0", key + "GATEWAY", "192.168.1.1;2001:db8:1::1"},
             {"ip link set eth0-peer down", "DEVICE_NETWORK_COUNT", "0"}}) {
        const int before = changes;
        _network.command(change);
        EXPECT_TRUE(waitUntil([&] { return changes > before; })) << change;
        const PropertyMap reading = watched();
        EXPECT_EQ(reading.count(name) ? reading.at(name) : "(none)", shows) << change;
    }
    _network.run([&] { provider.close(); });
}

TEST(KernelNetwork, GatewaysAndResolverFromTheirTables)
{
    const std::string routes =
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
        "eth0\t0000A8C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n"
        "eth0\t00000000\t0101A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
        "eth0\t00000000\t0201A8C0\t0003\t0\t0\t200\t00000000\t0\t0\t0\n"
        "wlan0\t00000000\t00000000\t0001\t0\t0\t0\t00000000\t0\t0\t0\n"
        "bad\tzz\n";
    EXPECT_EQ(KernelNetwork::defaultGateways4(routes), (std::map<std::string, std::string>{{"eth0", "192.168.1.1"}}));
    const std::string routes6 =
        "20010db8000100000000000000000000 30 00000000000000000000000000000000 00 "
        "00000000000000000000000000000000 00000100 00000001 00000000 00000001 eth0\n"
        "00000000000000000000000000000000 00 00000000000000000000000000000000 00 "
        "20010db8000100000000000000000001 00000400 00000001 00000000 00000003 eth0\n"
        "00000000000000000000000000000000 00 00000000000000000000000000000000 00 "
        "00000000000000000000000000000000 ffffffff 00000001 00000000 00200200 lo\n"
        "20010db8000200000000000000000000 30 00000000000000000000000000000000 00 "
        "fe800000000000000000000000000001 00000400 00000001 00000000 00000003 wlan0\n";
    EXPECT_EQ(KernelNetwork::defaultGateways6(routes6), (std::map<std::string, std::string>{{"eth0", "2001:db8:1::1"}}));
    const std::pair<const char*, KernelNetwork::Resolver> resolvers[] = {
        {"nameserver 1.1.1.1\nnameserver ::1 # local\nsearch a.example b.example\n",
         {{"1.1.1.1", "::1"}, {"a.example", "b.example"}}},
        {"; comment\n#nameserver 9.9.9.9\ndomain old.example\nsearch new.example ;x\noptions ndots:2\n",
         {{}, {"new.example"}}},
        {"nameserver\n", {}},
    };
    for (const auto& [text, expected] : resolvers) EXPECT_TRUE(KernelNetwork::parseResolver(text) == expected) << text;
    // resolved's answer, asked once, gives each interface its own servers and domains, then the global ones.
    KernelNetwork::Resolvers asked{true, {{3, "192.0.2.3"}, {0, "9.9.9.9"}, {2, "192.0.2.2"}, {3, "2001:db8::3"}},
                                   {{0, "global.example"}, {3, "three.example"}}, {{"192.0.2.53"}, {"file.example"}}};
    EXPECT_TRUE(asked.of(3) == (KernelNetwork::Resolver{{"192.0.2.3", "2001:db8::3", "9.9.9.9"}, {"three.example", "global.example"}}));
    EXPECT_TRUE(asked.of(7) == (KernelNetwork::Resolver{{"9.9.9.9"}, {"global.example"}}));
    asked.fromResolved = false;  // resolv.conf's, for every interface
    EXPECT_TRUE(asked.of(3) == (KernelNetwork::Resolver{{"192.0.2.53"}, {"file.example"}}));
}
