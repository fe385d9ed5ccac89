// WhoisProvider through the real web requests against a local HTTPS service
// on 127.0.0.1. Every service address of the category points at that
// service, so no test reaches any other address.
#include "providers/network/WhoisProvider.h"

#include "support/Categories.h"
#include "support/HttpsServer.h"
#include "support/LogWatch.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <future>
#include <map>
#include <string>
#include <vector>

using TestSupport::HttpsAnswer;
using TestSupport::HttpsServer;
using TestSupport::LogWatch;
using TestSupport::ScopedEnv;

namespace {

constexpr const char* kIp = "198.51.100.23";

const std::string kIpAnswer = R"({"data":{"ip":"198.51.100.23"},"status":"ok"})";
const std::string kDnsAnswer = R"({"data":{"result":["host-23.example.net","alias.example.net"]},"status":"ok"})";
const std::string kWhoisAnswer = R"({"data":{"authorities":["ripe"],"records":[)"
                                 R"([{"key":"inetnum","value":"198.51.100.0 - 198.51.100.255"},)"
                                 R"({"key":"country","value":"NL"}],)"
                                 R"([{"key":"descr","value":"ExampleNet"},{"key":"country","value":"GB"}]]},)"
                                 R"("status":"ok"})";

const PropertyMap kFullReading{
    {"DEVICE_WHOIS_IP", kIp},
    {"DEVICE_WHOIS_DNS", "host-23.example.net"},
    {"DEVICE_WHOIS_ISP", "ExampleNet"},
    {"DEVICE_WHOIS_COUNTRY", "GB"},
};
const PropertyMap kNothing{
    {"DEVICE_WHOIS_IP", "Unavailable"},
    {"DEVICE_WHOIS_DNS", "Unavailable"},
    {"DEVICE_WHOIS_ISP", "Unavailable"},
    {"DEVICE_WHOIS_COUNTRY", "Unavailable"},
};

class WhoisService : public ::testing::Test {
protected:
    WhoisService()
    {
        _server.setAnswer("/ip", {.body = kIpAnswer});
        _server.setAnswer("/dns", {.body = kDnsAnswer});
        _server.setAnswer("/whois", {.body = kWhoisAnswer});
    }

    // Every address of the category on the local service.
    std::map<std::string, std::string> config() const
    {
        return {
            {"ProviderIpUrl", _server.url("/ip")},
            {"ProviderDnsUrl", _server.url("/dns?resource=%IP%")},
            {"ProviderIspUrl", _server.url("/whois?resource=%IP%")},
            {"ProviderCountryUrl", _server.url("/whois?resource=%IP%")},
        };
    }

    PropertyMap read(std::map<std::string, std::string> configuration, int32_t status = 2, int32_t filter = 0)
    {
        WhoisProvider provider(TestSupport::category("Whois", status, filter, std::move(configuration)), "20.1");
        return provider.getProperties().get();
    }

    std::vector<std::string> paths() const
    {
        std::vector<std::string> paths;
        for (const auto& request : _server.requests()) {
            EXPECT_EQ(request.method, "GET");
            paths.push_back(request.path);
        }
        std::sort(paths.begin(), paths.end());
        return paths;
    }

    HttpsServer _server;
    ScopedEnv _ca{"CORVANE_CERTIFICATE_FILE", HttpsServer::caFile()};
    // Only the test CA is trusted: an empty directory in place of the
    // system's, whose hundreds of certificates each request would load.
    TestSupport::TempDir _noCertificates;
    ScopedEnv _caPath{"CORVANE_CERTIFICATE_DIR", _noCertificates.path()};
};

using Paths = std::vector<std::string>;

}  // namespace

TEST_F(WhoisService, FullReadingAsksForTheAddressThenNameAndWhoisOnce)
{
    LogWatch log;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(read(config()), kFullReading);
    const auto took = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started);
    std::printf("One full reading against the local service: %.1f ms\n", took.count() / 1000.0);

    // The address fills the placeholder; ISP and country share one request.
    EXPECT_EQ(paths(), (Paths{"/dns?resource=198.51.100.23", "/ip", "/whois?resource=198.51.100.23"}));
    for (const auto& request : _server.requests()) {
        EXPECT_EQ(request.header("Accept"), "application/json");
    }
    for (const char* line : {"VERBOSE - Getting WHOIS properties...\n", "VERBOSE - Parsed ripe IP response [198.51.100.23]\n",
                             "VERBOSE - ISP response is RIPE\n", "VERBOSE - Found ISP [ExampleNet] in record [1,0]\n",
                             "VERBOSE - Done getting WHOIS properties.\n"}) {
        EXPECT_TRUE(log.contains(line)) << line;
    }
}

TEST_F(WhoisService, TestIpIsUsedWithoutAskingForTheAddress)
{
    auto configuration = config();
    configuration["TestIp"] = "203.0.113.7";
    PropertyMap expected = kFullReading;
    expected["DEVICE_WHOIS_IP"] = "203.0.113.7";
    EXPECT_EQ(read(configuration), expected);
    EXPECT_EQ(paths(), (Paths{"/dns?resource=203.0.113.7", "/whois?resource=203.0.113.7"}));

    // A test IP that is no address is not filled into the URLs.
    _server.clearRequests();
    configuration["TestIp"] = "203.0.113.7&other=1";
    EXPECT_EQ(read(configuration), kFullReading);
    EXPECT_EQ(paths(), (Paths{"/dns?resource=198.51.100.23", "/ip", "/whois?resource=198.51.100.23"}));
}

TEST_F(WhoisService, OnlySelectedKeysAreAskedFor)
{
    EXPECT_EQ(read(config(), 1, 0x1), (PropertyMap{{"DEVICE_WHOIS_IP", kIp}}));
    EXPECT_EQ(paths(), (Paths{"/ip"}));

    _server.clearRequests();
    EXPECT_EQ(read(config(), 1, 0x1 | 0x2), (PropertyMap{{"DEVICE_WHOIS_IP", kIp}, {"DEVICE_WHOIS_DNS", "host-23.example.net"}}));
    EXPECT_EQ(paths(), (Paths{"/dns?resource=198.51.100.23", "/ip"}));

    // Country alone: the address is still needed, the whois answer gives it.
    _server.clearRequests();
    EXPECT_EQ(read(config(), 1, 0x8), (PropertyMap{{"DEVICE_WHOIS_COUNTRY", "GB"}}));
    EXPECT_EQ(paths(), (Paths{"/ip", "/whois?resource=198.51.100.23"}));
}

TEST_F(WhoisService, SeparateCountryServiceDecidesTheCountry)
{
    _server.setAnswer("/country", {.body = R"({"data":{"authorities":["arin"],"records":[[)"
                                           R"({"key":"OrgName","value":"Other Org"},{"key":"Country","value":"US"}]]}})"});
    auto configuration = config();
    configuration["ProviderCountryUrl"] = _server.url("/country?ip=%ip%");
    PropertyMap expected = kFullReading;
    expected["DEVICE_WHOIS_COUNTRY"] = "US";
    expected["DEVICE_WHOIS_ISP"] = "Other Org";  // the later document gave both
    EXPECT_EQ(read(configuration), expected);
    EXPECT_EQ(paths(), (Paths{"/country?ip=198.51.100.23", "/dns?resource=198.51.100.23", "/ip",
                              "/whois?resource=198.51.100.23"}));

    // One service for everything: one request serves name, ISP and country.
    _server.clearRequests();
    _server.setAnswer("/all", {.body = R"({"data":{"result":["all.example.net"],"authorities":["ripe"],)"
                                       R"("records":[[{"key":"descr","value":"AllNet"},{"key":"country","value":"DE"}]]}})"});
    configuration = config();
    configuration["ProviderDnsUrl"] = configuration["ProviderIspUrl"] = configuration["ProviderCountryUrl"] =
        _server.url("/all?q=%IP%");
    EXPECT_EQ(read(configuration), (PropertyMap{{"DEVICE_WHOIS_IP", kIp},
                                                {"DEVICE_WHOIS_DNS", "all.example.net"},
                                                {"DEVICE_WHOIS_ISP", "AllNet"},
                                                {"DEVICE_WHOIS_COUNTRY", "DE"}}));
    EXPECT_EQ(paths(), (Paths{"/all?q=198.51.100.23", "/ip"}));
}

TEST_F(WhoisService, AlternativeIsAskedOnlyWhenConfiguredAndUsedWhenTheProviderFails)
{
    _server.setAnswer("/ip", {.status = 503, .contentType = "text/plain", .body = "busy"});
    _server.setAnswer("/alt", {.body = R"({"address":"198.51.100.23"})"});

    LogWatch log;
    EXPECT_EQ(read(config()), kNothing);
    EXPECT_EQ(paths(), (Paths{"/ip"}));
    EXPECT_TRUE(log.contains("VERBOSE - Failed to determine IP from invalid response from provider [" +
                             _server.url("/ip") + "]\n"));

    _server.clearRequests();
    auto configuration = config();
    configuration["AlternativeIpUrl"] = _server.url("/alt");
    EXPECT_EQ(read(configuration), kFullReading);
    EXPECT_EQ(paths(), (Paths{"/alt", "/dns?resource=198.51.100.23", "/ip", "/whois?resource=198.51.100.23"}));
    EXPECT_TRUE(log.contains("INFO - Parsed internal IP response [198.51.100.23]\n"));

    // A provider that refuses, and an alternative answer without an address.
    _server.clearRequests();
    _server.setAnswer("/ip", {.status = 400, .body = R"({"status":"error","messages":[["error","bad"]]})"});
    _server.setAnswer("/alt", {.body = R"({"address":"not an address"})"});
    EXPECT_EQ(read(configuration), kNothing);
    EXPECT_EQ(paths(), (Paths{"/alt", "/ip"}));
    EXPECT_TRUE(log.contains("ERROR - Request to [" + _server.url("/ip") + "] failed with HTTP status [400]\n"));
    EXPECT_TRUE(log.contains("VERBOSE - Failed to parse IP from alternative [" + _server.url("/alt") + "]\n"));
}

TEST_F(WhoisService, ProviderAnswerWinsWhenBothAnswer)
{
    _server.setAnswer("/alt", {.body = R"({"address":"192.0.2.1"})"});
    auto configuration = config();
    configuration["AlternativeIpUrl"] = _server.url("/alt");
    EXPECT_EQ(read(configuration), kFullReading);
    // Both were asked at the same time.
    EXPECT_EQ(paths(), (Paths{"/alt", "/dns?resource=198.51.100.23", "/ip", "/whois?resource=198.51.100.23"}));
}

TEST_F(WhoisService, FailedLookupsMakeOnlyTheirKeysUnavailable)
{
    _server.setAnswer("/whois", {.status = 400,
                                 .body = R"({"status":"error","messages":[["error","Invalid resource"]],"data":{}})"});
    _server.setAnswer("/dns", {.body = R"({"data":{"result":null},"status":"ok"})"});
    LogWatch log;
    EXPECT_EQ(read(config()), (PropertyMap{{"DEVICE_WHOIS_IP", kIp},
                                           {"DEVICE_WHOIS_DNS", "Unavailable"},
                                           {"DEVICE_WHOIS_ISP", "Unavailable"},
                                           {"DEVICE_WHOIS_COUNTRY", "Unavailable"}}));
    EXPECT_TRUE(log.contains("VERBOSE - Attempt to decode whois dns from response found no results\n"));
    EXPECT_TRUE(log.contains("ERROR - Request to [" + _server.url("/whois?resource=198.51.100.23") +
                             "] failed with HTTP status [400]\n"));
}

TEST_F(WhoisService, ServiceThatNeverAnswersTimesOut)
{
    // Long enough for a handshake on a busy machine, short for a test.
    ScopedEnv timeout("CORVANE_CURLOPT_TIMEOUT", "3000");
    _server.setAnswer("/whois", {.neverAnswer = true});
    EXPECT_EQ(read(config()), (PropertyMap{{"DEVICE_WHOIS_IP", kIp},
                                           {"DEVICE_WHOIS_DNS", "host-23.example.net"},
                                           {"DEVICE_WHOIS_ISP", "Unavailable"},
                                           {"DEVICE_WHOIS_COUNTRY", "Unavailable"}}));

    _server.setAnswer("/ip", {.neverAnswer = true});
    LogWatch log;
    EXPECT_EQ(read(config()), kNothing);
    EXPECT_TRUE(log.contains("ERROR - Request to [" + _server.url("/ip") + "] failed with error [28]"));
}

TEST_F(WhoisService, HostileAnswersGiveUnavailable)
{
    // An answer that tries to steer the next requests elsewhere.
    _server.setAnswer("/ip", {.body = R"({"data":{"ip":"198.51.100.23@192.0.2.9/x?"}})"});
    LogWatch log;
    EXPECT_EQ(read(config()), kNothing);
    EXPECT_EQ(paths(), (Paths{"/ip"}));
    EXPECT_TRUE(log.contains("ERROR - Refused IP [198.51.100.23@192.0.2.9/x?] from response: not an IP address\n"));

    // Wrong types everywhere, arrays where objects belong, deep nesting and size.
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    std::string huge = R"({"data":{"authorities":["ripe"],"records":[)";
    for (int index = 0; index < 20000; ++index) {
        huge += R"([{"key":"descr","value":"x"},{"key":7,"value":"y"}],)";
    }
    huge += R"([]]}})";
    const std::vector<std::pair<std::string, std::string>> answers{
        {R"(["198.51.100.23"])", R"({"data":{"result":"host"}})"},
        {R"({"data":[{"ip":"198.51.100.23"}]})", deep},
        {R"({"data":{"ip":["198.51.100.23"]}})", R"({"data":{"records":[[[]],["x",null,{"key":"country"}]],"authorities":{}}})"},
        {kIpAnswer, huge},
        {kIpAnswer, R"({"data":{"records":[[{"key":"country","value":null},{"key":"descr","value":{}}]]}})"},
        {kIpAnswer, R"({"data":{"authorities":[["arin"]],"records":[{"0":{"key":"descr","value":"x"}}]}})"},
    };
    for (const auto& [ipAnswer, whoisAnswer] : answers) {
        _server.setAnswer("/ip", {.body = ipAnswer});
        _server.setAnswer("/dns", {.body = whoisAnswer});
        _server.setAnswer("/whois", {.body = whoisAnswer});
        const PropertyMap reading = read(config());
        EXPECT_EQ(reading.size(), 4u);
        for (const auto& [key, value] : reading) {
            if (key != "DEVICE_WHOIS_IP") {
                EXPECT_EQ(value, "Unavailable") << key << " " << ipAnswer;
            }
        }
    }
}

TEST_F(WhoisService, FirstReadingIsKeptForTheProvidersLife)
{
    WhoisProvider provider(TestSupport::category("Whois", 2, 0, config()), "20.1");
    EXPECT_EQ(provider.getProperties().get(), kFullReading);
    const std::size_t asked = _server.requests().size();
    _server.setAnswer("/ip", {.body = R"({"data":{"ip":"192.0.2.1"}})"});
    EXPECT_EQ(provider.getProperties().get(), kFullReading);
    EXPECT_EQ(_server.requests().size(), asked);

    // A failed lookup is kept too.
    _server.setAnswer("/ip", {.status = 500, .body = "{}"});
    WhoisProvider failing(TestSupport::category("Whois", 2, 0, config()), "20.1");
    EXPECT_EQ(failing.getProperties().get(), kNothing);
    _server.setAnswer("/ip", {.body = kIpAnswer});
    _server.clearRequests();
    EXPECT_EQ(failing.getProperties().get(), kNothing);
    EXPECT_TRUE(_server.requests().empty());
}

TEST_F(WhoisService, OverlappingReadsOfOneProvider)
{
    WhoisProvider provider(TestSupport::category("Whois", 2, 0, config()), "20.1");
    std::vector<std::future<PropertyMap>> readings;
    for (int index = 0; index < 6; ++index) {
        readings.push_back(provider.getProperties());
    }
    for (auto& reading : readings) {
        EXPECT_EQ(reading.get(), kFullReading);
    }
    EXPECT_EQ(provider.getProperties().get(), kFullReading);
}

TEST_F(WhoisService, ProviderMayGoBeforeItsReading)
{
    std::future<PropertyMap> reading;
    {
        WhoisProvider provider(TestSupport::category("Whois", 2, 0, config()), "20.1");
        reading = provider.getProperties();
    }
    EXPECT_EQ(reading.get(), kFullReading);
}
