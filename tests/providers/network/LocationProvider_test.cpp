// The location provider: its answer parsers, and whole readings on the engine thread with a real libnm
// client asking NetworkManager (python-dbusmock on a private system bus) and local HTTPS location and
// address services, each started once for the executable.
#include "providers/network/LocationProvider.h"

#include "support/Categories.h"
#include "support/Engine.h"
#include "support/HttpsServer.h"
#include "support/LogWatch.h"
#include "support/NetworkManagerService.h"
#include "support/SystemBus.h"

#include <gtest/gtest.h>

#include <thread>

using TestSupport::HttpsServer;
using TestSupport::LogWatch;

namespace {

rapidjson::Document parse(const std::string& text)
{
    rapidjson::Document document;
    document.Parse(text.c_str());
    return document;
}

TEST(LocationAnswer, PositionAndAccuracyOrTheLineThatSaysWhyNot)
{
    const std::pair<const char*, const char*> cases[] = {
        {R"({"location":{"lat":51.5,"lng":-0.12},"accuracy":25.0})", "51.5000,-0.1200,25.0"},
        {R"({"accuracy":1e1,"location":{"lng":1.8E2,"lat":-9.0e1}})", "-90.0000,180.0000,10.0"},
        {R"([{"location":{"lat":51.5,"lng":-0.12},"accuracy":25.0}])", "WARNING - Location was unavailable\n"},
        {R"({"location":[51.5,-0.12],"accuracy":25.0})", "WARNING - Location was not an object\n"},
        {R"({"location":{"lng":-0.12},"accuracy":25.0})", "WARNING - Location latitude was unavailable\n"},
        {R"({"location":{"lat":51,"lng":-0.12},"accuracy":25.0})", "WARNING - Location latitude was not a double\n"},
        {R"({"location":{"lat":51.5,"lng":null},"accuracy":25.0})", "WARNING - Location longitude was not a double\n"},
        {R"({"location":{"lat":51.5,"lng":-0.12},"accuracy":25})", "WARNING - Location accuracy was not a double\n"},
        {R"({"location":{"lat":51.5,"lng":-0.12,"accuracy":25.0}})", "WARNING - Location accuracy was unavailable\n"},
        {R"({"location":{"lat":90.01,"lng":-0.12},"accuracy":25.0})", "] is out of range\n"},
        {R"({"location":{"lat":-91.0,"lng":-0.12},"accuracy":25.0})", "] is out of range\n"},
        {R"({"location":{"lat":51.5,"lng":-180.5},"accuracy":25.0})", "] is out of range\n"},
        {R"({"location":{"lat":51.5,"lng":-0.12},"accuracy":-1.0})", "] is out of range\n"},
        {R"({"error":{"code":404,"message":"Not found"}})", "ERROR - Location request failed with error [Not found] code [404]"},
        {R"({"error":"quota","location":{"lat":51.5,"lng":-0.12},"accuracy":25.0})", "failed with error [] code [0]"},
    };
    for (const auto& [text, expected] : cases) {
        const LogWatch log;
        const std::optional<Location> read = locationFromResponse(parse(text));
        const std::string got = read ? formatDecimal(read->latitude, 4) + "," + formatDecimal(read->longitude, 4) +
                                           "," + formatDecimal(read->accuracy, 1)
                                     : log.text();
        EXPECT_NE(got.find(expected), std::string::npos) << text << "\n" << got;
    }
}

TEST(LocationAnswer, AddressFromAnAddressObjectOrTheComponentsOfTheFirstResult)
{
    const std::pair<const char*, const char*> cases[] = {
        {R"({"address":{"house_number":"7","road":"Baker Street","city":"A","village":"B","state":"England",
            "postcode":"NW1 6XE","country":"United Kingdom","county":"Greater London"}})",
         "United Kingdom|NW1 6XE|England||A, B|Baker Street|7"},
        {R"({"address":{"city":"","town":"T","village":7,"building":"Tower","house_number":"7"}})", "||||T||Tower"},
        {R"({"address":{"country":1,"state":{},"building":["x"],"house_number":"7"}})", "||||||7"},
        {R"({"address":[],"results":[{"address_components":[{"long_name":"X","types":["country"]}]}]})", "X||||||"},
        {R"({"results":[{"address_components":[
            {"long_name":"X","types":["administrative_area_level_2"]},{"long_name":"Y","types":["administrative_area_level_5"]},
            {"long_name":"Flat 2","types":["subpremise"]},{"long_name":"Tower","types":["premise"]},
            {"long_name":"Shop","types":["establishment"]},{"long_name":"7","types":["street_number"]},
            {"long_name":"Town A","types":["locality"]},{"long_name":"Town B","types":["postal_town"]},
            {"long_name":"PO 1","types":["post_box"]},{"long_name":"PC 2","types":["postal_code"]},
            {"long_name":"S","types":["administrative_area_level_1"]},{"long_name":"R","types":["route","x"]},
            {"long_name":"C1","types":["country"]},{"long_name":"C2","types":[1,"country"]}]},
            {"address_components":[{"long_name":"Elsewhere","types":["country"]}]}]})",
         "C2|PC 2|S|X, Y|Town B|R|Flat 2, Tower, Shop, 7"},
        {R"({"results":[{"address_components":[1,{},{"long_name":"X","types":"country"},{"long_name":5,"types":["country"]}]}]})",
         "||||||"},
        {R"({"results":[]})", "||||||"},
        {R"({"results":{"0":{}}})", "none"},
        {R"({"status":"ZERO_RESULTS"})", "none"},
    };
    for (const auto& [text, expected] : cases) {
        const std::optional<Address> a = addressFromResponse(parse(text));
        EXPECT_EQ(a ? a->country + "|" + a->postcode + "|" + a->state + "|" + a->county + "|" + a->town + "|" +
                          a->street + "|" + a->building
                    : "none",
                  expected)
            << text;
    }
}

PropertyMap merged(PropertyMap map, const PropertyMap& more)
{
    map.insert(more.begin(), more.end());
    return map;
}

PropertyMap unavailable(PropertyMap map)
{
    for (auto& entry : map) {
        entry.second = "Unavailable";
    }
    return map;
}

const std::string kAnswer = R"({"location":{"lat":51.5,"lng":-0.12},"accuracy":25.0)";
const std::string kOsmAddress = R"("address":{"house_number":"7","road":"Baker Street","city":"A","village":"B",)"
                                R"("state":"England","postcode":"NW1 6XE","country":"United Kingdom"}})";
const PropertyMap kPosition{
    {"DEVICE_LOCATION_POSITION", "51.5000,-0.1200"}, {"DEVICE_LOCATION_ACCURACY", "25.0"},
    {"DEVICE_LOCATION_URL", "https://www.openstreetmap.org/?mlat=51.5000&mlon=-0.1200#map=17/51.5000/-0.1200"},
    {"DEVICE_LOCATION_PROVIDER", "Third Party"}, {"DEVICE_LOCATION_SOURCE", "WiFi"}};
PropertyMap legacy(PropertyMap map)  // before 20.1 hosts get latitude and longitude instead
{
    map.erase("DEVICE_LOCATION_POSITION");
    return merged(map, {{"DEVICE_LOCATION_LATITUDE", "51.5000"}, {"DEVICE_LOCATION_LONGITUDE", "-0.1200"}});
}
const PropertyMap kLegacyPosition = legacy(kPosition);
const PropertyMap kAddress{
    {"DEVICE_LOCATION_COUNTRY", "United Kingdom"}, {"DEVICE_LOCATION_POSTCODE", "NW1 6XE"},
    {"DEVICE_LOCATION_STATE", "England"}, {"DEVICE_LOCATION_COUNTY", ""}, {"DEVICE_LOCATION_TOWN", "A, B"},
    {"DEVICE_LOCATION_STREET", "Baker Street"}, {"DEVICE_LOCATION_BUILDING", "7"}};
const PropertyMap kNothing = unavailable(merged(kPosition, kAddress));
const std::string kRequest = R"({"address":1,"considerIp":false,"wifiAccessPoints":[)"
                             R"({"macAddress":"a0:b1:c2:d3:e4:f5","signalStrength":78},)"
                             R"({"macAddress":"0A:00:00:00:00:01","signalStrength":0}]})";

// An office endpoint: a wired device, a Wi-Fi device that sees a single access point (too few to
// locate by) and one that sees two.
class LocationReading : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        TestSupport::SystemBus::instance();
        manager.emplace();
        manager->addEthernetDevice("eth0", TestSupport::NetworkManagerService::kActivated, "52:54:00:12:34:56", 1000);
        const std::string lonely = manager->addWiFiDevice("wlan0", 100, "02:00:00:00:00:01", 0);
        manager->addAccessPoint(lonely, "alone", "Alone", "0A:00:00:00:00:09", 90, {});
        const std::string wireless = manager->addWiFiDevice("wlan1", 100, "02:00:00:00:00:02", 54000);
        manager->addAccessPoint(wireless, "office", "Office", "a0:b1:c2:d3:e4:f5", 78, {0x1, 0x0, 0x188});
        manager->addAccessPoint(wireless, "cafe", "Cafe", "0A:00:00:00:00:01", 0, {});
        server.emplace();
    }
    static void TearDownTestSuite()
    {
        server.reset();
        manager.reset();
    }
    void SetUp() override
    {
        server->clearRequests();
        server->setAnswer("/geolocate", {.body = kAnswer + "}"});
        server->setAnswer("/reverse", {.body = "{" + kOsmAddress});
    }

    static std::map<std::string, std::string> urls(bool address = true)
    {
        std::map<std::string, std::string> config{{"LocateUrl", server->url("/geolocate?key=K")}};
        if (address) {
            config["AddressUrl"] = server->url("/reverse?format=json&lat=%lat%&lon=%LNG%");
        }
        return config;
    }
    static std::future<PropertyMap> read(LocationProvider& provider)
    {
        return TestSupport::onEngine([&provider] { return provider.getProperties(); });
    }
    static PropertyMap readOnce(std::map<std::string, std::string> config, const char* host = "20.1",
                                int32_t status = 2, int32_t filter = 0)
    {
        LocationProvider provider(TestSupport::category("Location", status, filter, std::move(config)), host);
        return read(provider).get();
    }
    std::vector<std::string> requests() const
    {
        std::vector<std::string> lines;
        for (const auto& request : server->requests()) {
            lines.push_back(request.method + " " + request.path + " " + request.body);
        }
        return lines;
    }

    static inline std::optional<TestSupport::NetworkManagerService> manager;
    static inline std::optional<HttpsServer> server;
    TestSupport::ScopedEnv ca{"CORVANE_CERTIFICATE_FILE", HttpsServer::caFile()}, noProxy{"no_proxy", "127.0.0.1"};
};

TEST_F(LocationReading, PostsTheAccessPointsOfTheFirstWiFiDeviceWithTwoReadsTheAddressAndKeepsTheResult)
{
    LocationProvider provider(TestSupport::category("Location", 2, 0, urls()), "20.1");
    EXPECT_EQ(read(provider).get(), merged(kPosition, kAddress));
    EXPECT_EQ(requests(), (std::vector<std::string>{"POST /geolocate?key=K " + kRequest,
                                                    "GET /reverse?format=json&lat=51.500000&lon=-0.120000 "}));
    EXPECT_EQ(read(provider).get(), merged(kPosition, kAddress));
    EXPECT_EQ(server->requests().size(), 2U);

    // An older host; the address in the location answer itself.
    server->clearRequests();
    server->setAnswer("/geolocate", {.body = kAnswer + "," + kOsmAddress});
    const std::string url = server->url("/geolocate?key=K");
    EXPECT_EQ(readOnce({{"LocateUrl", url}, {"AddressUrl", url}}, "19.4"), merged(kLegacyPosition, kAddress));
    EXPECT_EQ(requests(), (std::vector<std::string>{"POST /geolocate?key=K " + kRequest}));

    // Readings that overlap while nothing is kept agree.
    LocationProvider overlapping(TestSupport::category("Location", 2, 0, urls()), "20.1");
    std::future<PropertyMap> first = read(overlapping);
    EXPECT_EQ(read(overlapping).get(), merged(kPosition, kAddress));
    EXPECT_EQ(first.get(), merged(kPosition, kAddress));
}

TEST_F(LocationReading, OnlyTheSelectedKeysAndTheAddressOnlyWhenWanted)
{
    constexpr int32_t kPositionAccuracyLatitude = 0x8000 | 0x4 | 0x1;
    EXPECT_EQ(readOnce(urls(), "20.1", 1, kPositionAccuracyLatitude),
              (PropertyMap{{"DEVICE_LOCATION_POSITION", "51.5000,-0.1200"}, {"DEVICE_LOCATION_ACCURACY", "25.0"}}));
    EXPECT_EQ(readOnce(urls(false)), kPosition);
    EXPECT_EQ(requests(), (std::vector<std::string>(2, "POST /geolocate?key=K " + std::string(kRequest).replace(11, 1, "0"))));

    server->clearRequests();
    EXPECT_EQ(readOnce(urls(), "20.1", 1, 0x400), (PropertyMap{{"DEVICE_LOCATION_TOWN", "A, B"}}));
    EXPECT_EQ(server->requests().size(), 2U);
}

TEST_F(LocationReading, AFailedAddressLookupLeavesThePosition)
{
    const TestSupport::HttpsAnswer answers[] = {
        {.status = 500, .body = "{" + kOsmAddress}, {.body = "not json"}, {.body = R"({"status":"ZERO_RESULTS"})"}};
    for (const TestSupport::HttpsAnswer& answer : answers) {
        server->setAnswer("/reverse", answer);
        EXPECT_EQ(readOnce(urls()), merged(kPosition, unavailable(kAddress))) << answer.body;
    }
}

TEST_F(LocationReading, ServiceFailuresMakeEveryKeyUnavailableAndAreKept)
{
    const std::pair<TestSupport::HttpsAnswer, const char*> cases[] = {
        {{.status = 403, .body = R"({"error":{"code":403,"message":"Daily limit exceeded"}})"},
         "ERROR - Location request failed with error [Daily limit exceeded] code [403]\n"},
        {{.status = 500, .body = kAnswer + "}"}, "] failed with HTTP status [500]\n"},
        {{.body = kAnswer.substr(0, kAnswer.size() - 2) + "}"}, "WARNING - Location accuracy was not a double\n"},
        {{.neverAnswer = true}, "] failed with error [28]"},
    };
    for (const auto& [answer, line] : cases) {
        const TestSupport::ScopedEnv timeout("CORVANE_CURLOPT_TIMEOUT", answer.neverAnswer ? "1500" : "30000");
        server->setAnswer("/geolocate", answer);
        server->clearRequests();
        const LogWatch log;
        LocationProvider provider(TestSupport::category("Location", 2, 0, urls()), "20.1");
        EXPECT_EQ(read(provider).get(), kNothing);
        EXPECT_TRUE(log.contains(line)) << line;
        EXPECT_EQ(read(provider).get(), kNothing);
        EXPECT_EQ(server->requests().size(), 1U) << line;
    }
}

TEST_F(LocationReading, NoRequestWithoutALocateUrlOffTheEngineThreadOrWithoutNetworkManager)
{
    EXPECT_EQ(readOnce({{"AddressUrl", server->url("/reverse")}}), kNothing);
    EXPECT_EQ(readOnce({}, "19.4"), unavailable(merged(kLegacyPosition, kAddress)));
    EXPECT_EQ(readOnce({}, "20.1", 1, 0x8000 | 0x400 | 0x1),
              unavailable({{"DEVICE_LOCATION_POSITION", ""}, {"DEVICE_LOCATION_TOWN", ""}}));
    EXPECT_EQ(readOnce({}, "20.1", 0, -1), PropertyMap{});

    LocationProvider provider(TestSupport::category("Location", 2, 0, urls()), "20.1");
    const LogWatch log;
    std::thread([&provider] {
        EXPECT_EQ(provider.getProperties().get(), kNothing);
        EXPECT_EQ(provider.getProperties().get(), kNothing);
    }).join();
    EXPECT_EQ(log.count("ERROR - Unable to determine LOCATION since properties not requested from within glib "
                        "main context\n"),
              1U);

    manager->stop();  // libnm's client comes up without devices
    EXPECT_EQ(readOnce(urls()), kNothing);
    EXPECT_TRUE(server->requests().empty());
}

}  // namespace
