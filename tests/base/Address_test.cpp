// SPDX-License-Identifier: Apache-2.0
// Net::Address: text forms, prefix masks, name resolution, and the ERROR lines and exceptions of refusals.
#include "base/Address.h"

#include "support/LogWatch.h"

#include <gtest/gtest.h>

using Net::Address;

static Address ip(const std::string& text, int port = 0)
{
    return Address::FromIpAndPort(text.find(':') == std::string::npos ? AF_INET : AF_INET6, text, port);
}

TEST(Address, TextFormsAndPrefixMasks)
{
    EXPECT_EQ(Address().ToString(true) + ip("FE80:0:0::1", 443).ToString(true), "fe80::1:443");
    EXPECT_EQ(Address::FromNameAndPort("127.0.0.1:8443", "").ToString(true), "127.0.0.1:8443");
    EXPECT_EQ(Address::FromNameAndPort("::1", 443, "https").ToString(true), "::1:443");
    const std::string ones = "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff";
    for (const auto& [text, prefix, network] : std::vector<std::tuple<std::string, size_t, std::string>>{
             {"192.168.17.5", 20, "192.168.16.0:80"}, {"255.255.255.255", 0, "0.0.0.0:80"},
             {"255.255.255.255", 9, "255.128.0.0:80"}, {"192.168.1.20", 32, "192.168.1.20:80"},
             {ones, 13, "fff8:::80"}, {ones, 127, "ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe:80"},
             {"2001:db8::5", 128, "2001:db8::5:80"}}) {
        EXPECT_EQ(ip(text, 80).ApplyPrefixMask(prefix).ToString(true), network) << text << "/" << prefix;
    }
}

TEST(Address, RefusalsThrowAndLogTheirErrorLine)
{
    for (const auto& [make, message, line] : std::vector<std::tuple<std::function<void()>, std::string, std::string>>{
             {[] { ip("192.168.1.20").ApplyPrefixMask(33); }, "Invalid prefix", "Invalid prefix [33]"},
             {[] { ip("fe80::1").ApplyPrefixMask(129); }, "Invalid prefix", "Invalid prefix [129]"},
             {[] { ip("192.168.1.300"); }, "Invalid Address", "IPv4 address [192.168.1.300] is invalid"},
             {[] { ip("fe80::1::2"); }, "Invalid Address", "IPv6 address [fe80::1::2] is invalid"},
             {[] { Address::FromIpAndPort(AF_UNIX, "10.0.0.1", 80); }, "Unhandled Address Family",
              "Unhandled family [1] address [10.0.0.1]"},
             {[] { Address::FromNameAndPort("no-such-host.invalid", 80, ""); }, "Unknown Address",
              "Failed to determine address of name [no-such-host.invalid]"},
             {[] { Address::FromNameAndPort("127.0.0.1:http", ""); }, "Invalid Address",
              "Failed to parse port [http] from name [127.0.0.1:http] error [stoul]"}}) {
        const TestSupport::LogWatch log;
        EXPECT_THROW(try { make(); } catch (const std::invalid_argument& error) {
            EXPECT_EQ(error.what(), message);
            throw;
        }, std::invalid_argument) << line;
        EXPECT_TRUE(log.contains(" : ERROR - " + line + "\n")) << log.text();
    }
}
