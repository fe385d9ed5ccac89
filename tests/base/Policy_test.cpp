// SPDX-License-Identifier: Apache-2.0
// The owner's policy: key-file texts and what each allows, and the addresses counted as local.
#include "base/Address.h"
#include "base/Policy.h"

#include <gtest/gtest.h>

using Base::Policy;

namespace {
const std::vector<std::string> kNames{"OS", "Location", "Whois", "Name"};

// Allowed categories among kNames (Location and Whois make web requests), then the hosts of `hosts` allowed.
std::string allowed(const Policy& policy, const std::vector<std::string>& hosts)
{
    std::string text;
    for (const std::string& name : kNames) {
        if (policy.allowsCategory(name, name == "Location" || name == "Whois")) text += name + " ";
    }
    text += "|";
    for (const std::string& host : hosts) {
        if (policy.allowsHost(host)) text += " " + host;
    }
    return text + (policy.deniesLocalAddresses() ? " local-denied" : "") +
           (policy.sendsAccessPoints() ? "" : " no-aps");
}
}  // namespace

TEST(Policy, KeyFileTextsAndWhatTheyAllow)
{
    const std::vector<std::string> hosts{"geo.example.com", "GEO.Example.com.", "a.b.example.net", "example.net",
                                         "evil-example.net", "127.0.0.1", "[::1]", ""};
    const std::string all = "OS Location Whois Name |", none = "OS Name |",
                      every = " geo.example.com GEO.Example.com. a.b.example.net example.net evil-example.net "
                              "127.0.0.1 [::1]";
    for (const auto& [text, expected, description] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {"", all + every, "no restrictions"},
             {"[categories]\ndeny=location; Whois\n", none + every, "deny Location, Whois"},
             {"[categories]\nallow=OS,Whois\ndeny=Whois\n[web]\nallow-hosts=geo.example.com;*.example.net;::1\n"
              "deny-local-addresses=true\nsend-access-points=false\n",
              "OS | geo.example.com GEO.Example.com. a.b.example.net [::1] local-denied no-aps",
              "allow only OS, Whois; deny Whois; web hosts geo.example.com, *.example.net, ::1; no local addresses; "
              "no access points sent"},
             {"[web]\nallow-hosts=\ndeny-local-addresses=false\n", all, "web hosts none"},
             {"[categories]\nallow=\n", "|" + every, "allow only no category"},
             // Each of these is read restrictively: no web request, no category that makes one.
             {"[web\nallow-hosts=x", none, "unreadable"},
             {"[web]\ndeny-local-address=true\n", none, "unknown key [deny-local-address] in [web]"},
             {"[categories]\ndeny=Locaton\n", none, "unknown category [Locaton]"},
             {"[web]\nsend-access-points=no\n", none, "[web] send-access-points is [no], not true or false"},
         }) {
        const Policy policy = Policy::parse(text, "/p", kNames);
        EXPECT_EQ(allowed(policy, hosts), expected) << text;
        EXPECT_NE(policy.describe().find(description), std::string::npos) << text << "\n" << policy.describe();
    }
    EXPECT_EQ(Policy().describe(), "none");
    EXPECT_TRUE(Policy().allowsHost("anything"));
}

TEST(Policy, LocalAddresses)
{
    for (const auto& [text, local] : std::vector<std::pair<std::string, bool>>{
             {"127.0.0.1", true}, {"10.1.2.3", true}, {"172.31.255.255", true}, {"172.32.0.1", false},
             {"192.168.1.1", true}, {"169.254.1.1", true}, {"0.0.0.0", true}, {"8.8.8.8", false}, {"::1", true},
             {"::", true}, {"fd00::1", true}, {"fe80::1", true}, {"::ffff:127.0.0.1", true}, {"::ffff:8.8.8.8", false},
             {"2001:db8::1", false}}) {
        const auto family = text.find(':') == std::string::npos ? AF_INET : AF_INET6;
        const Net::Address address = Net::Address::FromIpAndPort(family, text, 443);
        EXPECT_EQ(Policy::isLocalAddress(address.Get(), static_cast<socklen_t>(address.Length())), local) << text;
    }
}
