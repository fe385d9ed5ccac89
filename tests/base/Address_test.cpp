// Net::Address: text forms, prefix masking, name resolution and the failure
// lines and exceptions of its factories.
#include "base/Address.h"

#include "support/LogWatch.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <stdexcept>

using Net::Address;
using TestSupport::LogWatch;

namespace {

Address ipv4(const std::string& text, int port = 0)
{
    return Address::FromIpAndPort(AF_INET, text, port);
}

Address ipv6(const std::string& text, int port = 0)
{
    return Address::FromIpAndPort(AF_INET6, text, port);
}

std::string masked(const Address& address, size_t prefix)
{
    return address.ApplyPrefixMask(prefix).ToString(false);
}

// Runs `make`, expecting std::invalid_argument with `message` and the ERROR
// line `line` in the log.
template <typename Make>
void expectFailure(Make make, const std::string& message, const std::string& line)
{
    const LogWatch log;
    try {
        make();
        ADD_FAILURE() << "no exception; expected " << message;
    } catch (const std::invalid_argument& error) {
        EXPECT_EQ(std::string(error.what()), message);
    }
    EXPECT_TRUE(log.contains(" : ERROR - " + line + "\n")) << log.text();
}

}  // namespace

TEST(Address, EmptyAddressHasNoFamilyPortOrText)
{
    const Address empty;
    EXPECT_EQ(empty.Length(), 0U);
    EXPECT_EQ(empty.Family(), 0);
    EXPECT_EQ(empty.Port(), 0);
    EXPECT_EQ(empty.ToString(false), "");
    EXPECT_EQ(empty.ToString(true), "");
    // Masking checks the prefix against 128 bits and leaves the address empty.
    EXPECT_EQ(empty.ApplyPrefixMask(100).Length(), 0U);
    EXPECT_THROW(empty.ApplyPrefixMask(129), std::invalid_argument);
}

TEST(Address, TextFormsWithAndWithoutPort)
{
    const Address four = ipv4("192.168.1.20", 8080);
    EXPECT_EQ(four.Length(), sizeof(sockaddr_in));
    EXPECT_EQ(four.Family(), AF_INET);
    EXPECT_EQ(four.Port(), 8080);
    EXPECT_EQ(four.Get()->sa_family, AF_INET);
    EXPECT_EQ(four.ToString(false), "192.168.1.20");
    EXPECT_EQ(four.ToString(true), "192.168.1.20:8080");

    const Address six = ipv6("FE80:0:0::1", 443);
    EXPECT_EQ(six.Length(), sizeof(sockaddr_in6));
    EXPECT_EQ(six.Family(), AF_INET6);
    EXPECT_EQ(six.Port(), 443);
    EXPECT_EQ(six.ToString(false), "fe80::1");
    // No brackets around an IPv6 address.
    EXPECT_EQ(six.ToString(true), "fe80::1:443");
    const auto* raw = reinterpret_cast<const sockaddr_in6*>(six.Get());
    EXPECT_EQ(raw->sin6_flowinfo, 0U);
    EXPECT_EQ(raw->sin6_scope_id, 0U);
    EXPECT_EQ(ntohs(raw->sin6_port), 443);

    EXPECT_EQ(ipv6("2001:db8::ffff:1.2.3.4").ToString(false), "2001:db8::ffff:102:304");
    EXPECT_EQ(ipv6("::").ToString(true), ":::0");

    // Copies are independent values.
    Address copy(four);
    EXPECT_EQ(copy.ToString(true), "192.168.1.20:8080");
    copy = six;
    EXPECT_EQ(copy.ToString(true), "fe80::1:443");
    EXPECT_EQ(four.ToString(true), "192.168.1.20:8080");
}

TEST(Address, FromSocketAddressAndPortOverride)
{
    sockaddr_in raw{};
    raw.sin_family = AF_INET;
    raw.sin_port = htons(1);
    inet_pton(AF_INET, "10.0.0.7", &raw.sin_addr);
    EXPECT_EQ(Address(reinterpret_cast<const sockaddr*>(&raw), sizeof(raw)).ToString(true), "10.0.0.7:1");
    EXPECT_EQ(Address(reinterpret_cast<const sockaddr*>(&raw), sizeof(raw), 65535).ToString(true), "10.0.0.7:65535");

    sockaddr_in6 raw6{};
    raw6.sin6_family = AF_INET6;
    inet_pton(AF_INET6, "2001:db8::9", &raw6.sin6_addr);
    EXPECT_EQ(Address(reinterpret_cast<const sockaddr*>(&raw6), sizeof(raw6), 22).ToString(true), "2001:db8::9:22");

    // A length that is neither layout's keeps the bytes but no family or port.
    const Address odd(reinterpret_cast<const sockaddr*>(&raw), 8, 80);
    EXPECT_EQ(odd.Length(), 8U);
    EXPECT_EQ(odd.Family(), 0);
    EXPECT_EQ(odd.Port(), 0);
    EXPECT_EQ(odd.ToString(true), "");
}

TEST(Address, PrefixMaskKeepsTheNetworkBits)
{
    EXPECT_EQ(masked(ipv4("192.168.17.5"), 20), "192.168.16.0");
    EXPECT_EQ(masked(ipv4("192.168.1.20"), 24), "192.168.1.0");
    EXPECT_EQ(masked(ipv4("192.168.1.20"), 32), "192.168.1.20");
    EXPECT_EQ(masked(ipv4("255.255.255.255"), 0), "0.0.0.0");
    EXPECT_EQ(masked(ipv4("255.255.255.255"), 1), "128.0.0.0");
    EXPECT_EQ(masked(ipv4("255.255.255.255"), 9), "255.128.0.0");
    EXPECT_EQ(masked(ipv4("10.255.255.255"), 31), "10.255.255.254");

    EXPECT_EQ(masked(ipv6("fe80::1"), 64), "fe80::");
    EXPECT_EQ(masked(ipv6("2001:db8:1:2::7"), 48), "2001:db8:1::");
    EXPECT_EQ(masked(ipv6("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"), 0), "::");
    EXPECT_EQ(masked(ipv6("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"), 127),
              "ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe");
    EXPECT_EQ(masked(ipv6("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"), 13), "fff8::");
    EXPECT_EQ(masked(ipv6("2001:db8::5"), 128), "2001:db8::5");

    // Port and family stay; the address itself does not change.
    const Address address = ipv4("172.16.33.44", 8443);
    const Address network = address.ApplyPrefixMask(12);
    EXPECT_EQ(network.ToString(true), "172.16.0.0:8443");
    EXPECT_EQ(network.Family(), AF_INET);
    EXPECT_EQ(address.ToString(true), "172.16.33.44:8443");
}

TEST(Address, PrefixLongerThanTheAddressIsRefused)
{
    expectFailure([] { ipv4("192.168.1.20").ApplyPrefixMask(33); }, "Invalid prefix", "Invalid prefix [33]");
    expectFailure([] { ipv6("fe80::1").ApplyPrefixMask(129); }, "Invalid prefix", "Invalid prefix [129]");
    EXPECT_NO_THROW(ipv6("fe80::1").ApplyPrefixMask(128));
}

TEST(Address, InvalidTextIsRefused)
{
    expectFailure([] { ipv4("192.168.1.300"); }, "Invalid Address", "IPv4 address [192.168.1.300] is invalid");
    expectFailure([] { ipv4("fe80::1"); }, "Invalid Address", "IPv4 address [fe80::1] is invalid");
    expectFailure([] { ipv4(""); }, "Invalid Address", "IPv4 address [] is invalid");
    expectFailure([] { ipv6("192.168.1.1"); }, "Invalid Address", "IPv6 address [192.168.1.1] is invalid");
    expectFailure([] { ipv6("fe80::1::2"); }, "Invalid Address", "IPv6 address [fe80::1::2] is invalid");
    expectFailure([] { Address::FromIpAndPort(AF_UNIX, "10.0.0.1", 80); }, "Unhandled Address Family",
                  "Unhandled family [1] address [10.0.0.1]");
}

TEST(Address, NamesResolveThroughTheResolver)
{
    const Address local = Address::FromNameAndPort("127.0.0.1", 8080, "");
    EXPECT_EQ(local.ToString(true), "127.0.0.1:8080");
    EXPECT_EQ(Address::FromNameAndPort("::1", 443, "").ToString(true), "::1:443");
    // "localhost" comes from /etc/hosts; whichever family comes first, the port is ours.
    EXPECT_EQ(Address::FromNameAndPort("localhost", 80, "").Port(), 80);
    // A service name only picks the resolver's answer; the port given wins.
    EXPECT_EQ(Address::FromNameAndPort("127.0.0.1", 9000, "https").ToString(true), "127.0.0.1:9000");

    EXPECT_EQ(Address::FromNameAndPort("127.0.0.1:8443", "").ToString(true), "127.0.0.1:8443");
    // Only the low 16 bits of a large port remain.
    EXPECT_EQ(Address::FromNameAndPort("127.0.0.1:65537", "").Port(), 1);
}

TEST(Address, UnresolvableNamesAndPortsAreRefused)
{
    expectFailure([] { Address::FromNameAndPort("no-such-host.invalid", 80, ""); }, "Unknown Address",
                  "Failed to determine address of name [no-such-host.invalid]");
    expectFailure([] { Address::FromNameAndPort("127.0.0.1", 80, "no-such-service"); }, "Unknown Address",
                  "Failed to determine address of name [127.0.0.1]");
    // Without a colon the whole text is the port text too.
    expectFailure([] { Address::FromNameAndPort("localhost", ""); }, "Invalid Address",
                  "Failed to parse port [localhost] from name [localhost] error [stoul]");
    expectFailure([] { Address::FromNameAndPort("127.0.0.1:http", ""); }, "Invalid Address",
                  "Failed to parse port [http] from name [127.0.0.1:http] error [stoul]");
    expectFailure([] { Address::FromNameAndPort("no-such-host.invalid:80", ""); }, "Invalid Address",
                  "Failed to parse port [80] from name [no-such-host.invalid:80] error [Unknown Address]");
}
