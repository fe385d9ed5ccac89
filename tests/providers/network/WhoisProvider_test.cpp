// SPDX-License-Identifier: Apache-2.0
// WhoisProvider: its decoders on answer texts, and whole readings through the real web requests against
// one local HTTPS service, where every service address of the category points.
#include "providers/network/WhoisProvider.h"

#include "support/Categories.h"
#include "support/HttpsServer.h"
#include "support/Json.h"
#include "support/LogWatch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <numeric>

using TestSupport::HttpsAnswer;
using TestSupport::parsed;
using TestSupport::ScopedEnv;
using TestSupport::with;

namespace {

TEST(WhoisDecode, AddressNameIspAndCountryOfEachAnswer)
{
    for (const auto& [text, ip] : std::initializer_list<std::pair<std::string, std::string>>{
             {R"({"data":{"ip":"198.51.100.23"}})", "198.51.100.23"}, {R"({"address":"2001:db8::5"})", "2001:db8::5"},
             {R"({"address":"example.com","data":{"ip":"1.2.3.4"}})", "none"},
             {R"({"data":{"ip":"198.51.100.23/../x?resource="}})", "none"}, {R"({"data":{"ip":"1.2.3.4 "}})", "none"},
             {R"({"data":{"ip":17}})", "none"}, {R"({"data":[{"ip":"1.2.3.4"}]})", "none"}, {R"(["1.2.3.4"])", "none"}}) {
        EXPECT_EQ(ipFromResponse(parsed(text)).value_or("none"), ip) << text;
    }
    for (const auto& [text, name] : std::initializer_list<std::pair<const char*, const char*>>{
             {R"({"data":{"result":["host.example.net","other"]}})", "host.example.net"}, {R"({"data":["x"]})", "none"},
             {R"({"data":{}})", "none"}, {R"({"data":{"result":[]}})", "none"}, {R"({"data":{"result":[7,"x"]}})", "none"}}) {
        EXPECT_EQ(dnsFromResponse(parsed(text)).value_or("none"), name) << text;
    }
    const auto entry = [](const std::string& key, const std::string& value) {
        return R"({"key":")" + key + R"(","value":")" + value + R"("},)";
    };
    const std::string mixed = "[" + entry("OrgName", "Org Inc") + entry("descr", "Descr Net") +
                              entry("owner", "Owner SA") + entry("Country", "US") + "{}]";
    for (const auto& [authorities, records, expected] : std::initializer_list<std::array<std::string, 3>>{
             {R"("ARIN")", mixed, "Org Inc|US"},
             {R"("x","Lacnic","ripe")", mixed, "Owner SA|US"},
             {R"(1,"ripe")", mixed, "Descr Net|US"},
             {R"("apnic")", mixed, "Descr Net|US"},
             {R"("afrinic","arin")", "[" + entry("custname", "Cust Ltd") + entry("country", "ZA") + "{}]", "Cust Ltd|ZA"},
             {"", "[" + entry("country", "NL") + "{}],[],17,[\"x\"],[" + entry("descr", "Net") + entry("country", "GB") +
                      entry("descr", "Later") + "{}]", "Net|GB"},
             {R"("ripe")", "[" + entry("country", "NL") + "{}]", "none"},
             {R"("ripe")", "", "none"}}) {
        const auto whois = ispCountryFromResponse(
            parsed(R"({"data":{"authorities":[)" + authorities + R"(],"records":[)" + records + "]}}"));
        EXPECT_EQ(whois ? whois->isp + "|" + whois->country : "none", expected) << authorities << records;
    }
    EXPECT_FALSE(ispCountryFromResponse(parsed(R"({"data":null})")));
}

const PropertyMap kFull{{"DEVICE_WHOIS_IP", "198.51.100.23"}, {"DEVICE_WHOIS_DNS", "host.example.net"},
                        {"DEVICE_WHOIS_ISP", "ExampleNet"}, {"DEVICE_WHOIS_COUNTRY", "GB"}};
const PropertyMap kNothing{{"DEVICE_WHOIS_IP", "Unavailable"}, {"DEVICE_WHOIS_DNS", "Unavailable"},
                           {"DEVICE_WHOIS_ISP", "Unavailable"}, {"DEVICE_WHOIS_COUNTRY", "Unavailable"}};

class WhoisService : public TestSupport::HttpsTest {
protected:
    void SetUp() override
    {
        HttpsTest::SetUp();
        server->setAnswer("/ip", {.body = R"({"data":{"ip":"198.51.100.23"},"status":"ok"})"});
        server->setAnswer("/dns", {.body = R"({"data":{"result":["host.example.net"]}})"});
        server->setAnswer("/whois", {.body = R"({"data":{"authorities":["ripe"],"records":[[)"
                                             R"({"key":"descr","value":"ExampleNet"},{"key":"country","value":"GB"}]]}})"});
    }
    static std::map<std::string, std::string> config(std::map<std::string, std::string> changes = {})
    {
        changes.try_emplace("ProviderIpUrl", server->url("/ip"));
        changes.try_emplace("ProviderDnsUrl", server->url("/dns?resource=%IP%"));
        changes.try_emplace("ProviderIspUrl", server->url("/whois?resource=%IP%"));
        changes.try_emplace("ProviderCountryUrl", server->url("/whois?resource=%IP%"));
        return changes;
    }
    // The paths asked for since the last call, sorted.
    static std::string asked()
    {
        std::vector<std::string> paths;
        for (const auto& request : server->requests()) paths.push_back(request.method + " " + request.path + ";");
        std::sort(paths.begin(), paths.end());
        server->clearRequests();
        return std::accumulate(paths.begin(), paths.end(), std::string());
    }
    // Only the test CA: an empty directory in place of the system's hundreds of certificates.
    const TestSupport::TempDir noCertificates;
    ScopedEnv caPath{"CORVANE_CERTIFICATE_DIR", noCertificates.path()};
};

// Each case starts from the answers of SetUp; a failed or silent lookup makes only its own keys unavailable.
TEST_F(WhoisService, EachReadingFromTheServicesAnswers)
{
    const std::string all = server->url("/all?q=%IP%"), alternative = server->url("/alt");
    const std::string ip = "GET /ip;", usual = "GET /dns?resource=198.51.100.23;GET /ip;GET /whois?resource=198.51.100.23;";
    const HttpsAnswer allInOne{.body = R"({"data":{"result":["all.example.net"],"authorities":["arin"],"records":[[)"
                                       R"({"key":"OrgName","value":"Org"},{"key":"Country","value":"US"}]]}})"};
    const HttpsAnswer otherAddress{.body = R"({"address":"192.0.2.1"})"}, failing{.status = 503, .body = "{}"};
    const struct {
        std::map<std::string, HttpsAnswer> answers;
        std::map<std::string, std::string> config;
        int32_t filter;
        PropertyMap expected;
        std::string asked;
        std::string line = "";  // an ERROR line the reading leaves
    } cases[] = {
        {{}, {}, 0, kFull, usual},
        {{}, {{"TestIp", "203.0.113.7"}}, 0, with(kFull, {{"DEVICE_WHOIS_IP", "203.0.113.7"}}),
         "GET /dns?resource=203.0.113.7;GET /whois?resource=203.0.113.7;"},
        {{}, {{"TestIp", "203.0.113.7&x=1"}}, 0, kFull, usual},  // not an address: ignored
        {{}, {}, 0x1, {{"DEVICE_WHOIS_IP", "198.51.100.23"}}, ip},
        {{}, {}, 0x8, {{"DEVICE_WHOIS_COUNTRY", "GB"}}, "GET /ip;GET /whois?resource=198.51.100.23;"},
        // A country service of its own decides the country (and the ISP, given both); one service for all.
        {{{"/all", allInOne}}, {{"ProviderCountryUrl", all}}, 0,
         with(kFull, {{"DEVICE_WHOIS_ISP", "Org"}, {"DEVICE_WHOIS_COUNTRY", "US"}}), "GET /all?q=198.51.100.23;" + usual},
        {{{"/all", allInOne}}, {{"ProviderDnsUrl", all}, {"ProviderIspUrl", all}, {"ProviderCountryUrl", all}}, 0,
         with(kFull, {{"DEVICE_WHOIS_DNS", "all.example.net"}, {"DEVICE_WHOIS_ISP", "Org"}, {"DEVICE_WHOIS_COUNTRY", "US"}}),
         "GET /all?q=198.51.100.23;GET /ip;"},
        // The alternative address service only when configured, and its address only when the provider fails.
        {{{"/alt", otherAddress}}, {{"AlternativeIpUrl", alternative}}, 0, kFull, "GET /alt;" + usual},
        {{{"/ip", failing}, {"/alt", otherAddress}}, {{"AlternativeIpUrl", alternative}}, 0,
         with(kFull, {{"DEVICE_WHOIS_IP", "192.0.2.1"}}), "GET /alt;GET /dns?resource=192.0.2.1;GET /ip;GET /whois?resource=192.0.2.1;"},
        {{{"/ip", {.body = R"({"data":{"ip":"198.51.100.23@192.0.2.9/x?"}})"}}, {"/alt", {.body = R"({"address":"x"})"}}},
         {{"AlternativeIpUrl", alternative}}, 0, kNothing, "GET /alt;GET /ip;",
         "ERROR - Refused IP [198.51.100.23@192.0.2.9/x?] from response: not an IP address\n"},
        {{{"/whois", {.status = 400, .body = R"({"status":"error","data":{}})"}}, {"/dns", {.body = R"({"data":{"result":null}})"}}},
         {}, 0, with(kNothing, {{"DEVICE_WHOIS_IP", "198.51.100.23"}}), usual},
        {{{"/ip", {.neverAnswer = true}}}, {}, 0, kNothing, ip},
    };
    const ScopedEnv timeout("CORVANE_CURLOPT_TIMEOUT", "3000");
    for (const auto& test : cases) {
        SetUp();
        for (const auto& [path, answer] : test.answers) server->setAnswer(path, answer);
        const TestSupport::LogWatch log;
        const auto category = TestSupport::category("Whois", test.filter != 0 ? 1 : 2, test.filter, config(test.config));
        EXPECT_EQ(WhoisProvider(category, "20.1").getProperties().get(), test.expected) << test.asked;
        EXPECT_EQ(asked(), test.asked);
        EXPECT_TRUE(log.contains(test.line)) << test.line;
    }
}

// The first reading is kept for the provider's life, even once the services fail; a reading outlives its provider.
TEST_F(WhoisService, TheFirstReadingIsKeptForTheProvidersLifeAndOutlivesIt)
{
    const auto category = TestSupport::category("Whois", 2, 0, config());
    {
        WhoisProvider provider(category, "20.1");
        EXPECT_EQ(provider.getProperties().get(), kFull);
        server->setAnswer("/ip", {.status = 500, .body = "{}"});
        EXPECT_EQ(provider.getProperties().get(), kFull);
    }
    std::future<PropertyMap> outliving = WhoisProvider(category, "20.1").getProperties();
    EXPECT_EQ(outliving.get(), kNothing);
    EXPECT_EQ(asked(), "GET /dns?resource=198.51.100.23;GET /ip;GET /ip;GET /whois?resource=198.51.100.23;");
}

}  // namespace
