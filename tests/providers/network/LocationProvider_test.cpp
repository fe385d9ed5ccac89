// SPDX-License-Identifier: Apache-2.0
// The location provider: its answer parsers, and whole readings on the engine thread with a real libnm
// client asking NetworkManager (python-dbusmock on a private system bus) and a local HTTPS service.
#include "providers/network/LocationProvider.h"

#include "support/Categories.h"
#include "support/Engine.h"
#include "support/HttpsServer.h"
#include "support/Json.h"
#include "support/LogWatch.h"
#include "support/NetworkManagerService.h"

#include <thread>

namespace {

using TestSupport::HttpsAnswer;
using TestSupport::parsed;
using TestSupport::with;
using Texts = std::initializer_list<std::pair<std::string, std::string>>;

TEST(LocationAnswer, PositionOrTheLineSayingWhyNotAndTheAddressOfEitherShape)
{
    const std::string at = R"("location":{"lat":51.5,"lng":-0.12})";
    for (const auto& [text, expected] : Texts{
             {"{" + at + R"(,"accuracy":25.0})", "51.5000,-0.1200,25.0"},
             {R"({"accuracy":1e1,"location":{"lng":1.8E2,"lat":-9.0e1}})", "-90.0000,180.0000,10.0"},
             {R"([{"location":{"lat":1.5,"lng":1.5},"accuracy":2.0}])", "WARNING - Location was unavailable\n"},
             {R"({"location":[51.5,-0.12],"accuracy":25.0})", "WARNING - Location was not an object\n"},
             {R"({"location":{"lat":51,"lng":-0.12},"accuracy":25.0})", "WARNING - Location latitude was not a double\n"},
             {R"({"location":{"lat":51.5},"accuracy":25.0})", "WARNING - Location longitude was unavailable\n"},
             {R"({"location":{"lat":90.01,"lng":-0.12},"accuracy":25.0})", "] is out of range\n"},
             {"{" + at + R"(,"accuracy":-1.0})", "] is out of range\n"},
             {R"({"error":{"code":404,"message":"Not found"}})", "ERROR - Location request failed with error [Not found] code [404]"},
             {R"({"error":"quota",)" + at + R"(,"accuracy":25.0})", "failed with error [] code [0]"}}) {
        const TestSupport::LogWatch log;
        const std::optional<Location> read = locationFromResponse(parsed(text));
        EXPECT_NE((read ? formatDecimal(read->latitude, 4) + "," + formatDecimal(read->longitude, 4) + "," +
                              formatDecimal(read->accuracy, 1)
                        : log.text())
                      .find(expected),
                  std::string::npos)
            << text;
    }
    const auto components = [](const std::string& list) { return R"({"results":[{"address_components":[)" + list + "]}]}"; };
    const auto part = [](const std::string& name, const std::string& types) {
        return R"({"long_name":")" + name + R"(","types":[)" + types + "]},";
    };
    for (const auto& [text, expected] : Texts{
             {R"({"address":{"house_number":"7","road":"Baker Street","city":"A","village":"B","state":"England",
                 "postcode":"NW1 6XE","country":"United Kingdom","county":"Greater London"}})",
              "United Kingdom|NW1 6XE|England||A, B|Baker Street|7"},
             {R"({"address":{"city":"","town":"T","village":7,"state":{},"building":"Tower","house_number":"7"}})", "||||T||Tower"},
             {R"({"address":[],"results":[{"address_components":[{"long_name":"X","types":["country"]}]}]})", "X||||||"},
             {components(part("X", R"("administrative_area_level_2")") + part("Y", R"("administrative_area_level_5")") +
                         part("Flat 2", R"("subpremise")") + part("Tower", R"("premise")") + part("Shop", R"("establishment")") +
                         part("7", R"("street_number")") + part("A", R"("locality")") + part("B", R"("postal_town")") +
                         part("PO", R"("post_box")") + part("PC", R"("postal_code")") + part("S", R"("administrative_area_level_1")") +
                         part("R", R"("route","x")") + part("C1", R"("country")") + part("C2", R"(1,"country")") +
                         R"({"long_name":5,"types":["route"]},{"types":"country"},1)"),
              "C2|PC|S|X, Y|B||Flat 2, Tower, Shop, 7"},
             {R"({"results":[]})", "||||||"},
             {R"({"results":{"0":{}}})", "none"}}) {
        const std::optional<Address> a = addressFromResponse(parsed(text));
        EXPECT_EQ(a ? a->country + "|" + a->postcode + "|" + a->state + "|" + a->county + "|" + a->town + "|" +
                          a->street + "|" + a->building
                    : "none",
                  expected)
            << text;
    }
}

const std::string kAnswer = R"({"location":{"lat":51.5,"lng":-0.12},"accuracy":25.0)";
const std::string kOsmAddress = R"("address":{"house_number":"7","road":"Baker Street","city":"A","village":"B",)"
                                R"("state":"England","postcode":"NW1 6XE","country":"United Kingdom"}})";
const PropertyMap kPosition{
    {"DEVICE_LOCATION_POSITION", "51.5000,-0.1200"}, {"DEVICE_LOCATION_ACCURACY", "25.0"},
    {"DEVICE_LOCATION_URL", "https://www.openstreetmap.org/?mlat=51.5000&mlon=-0.1200#map=17/51.5000/-0.1200"},
    {"DEVICE_LOCATION_PROVIDER", "Third Party"}, {"DEVICE_LOCATION_SOURCE", "WiFi"}};
const PropertyMap kAddress{
    {"DEVICE_LOCATION_COUNTRY", "United Kingdom"}, {"DEVICE_LOCATION_POSTCODE", "NW1 6XE"},
    {"DEVICE_LOCATION_STATE", "England"}, {"DEVICE_LOCATION_COUNTY", ""}, {"DEVICE_LOCATION_TOWN", "A, B"},
    {"DEVICE_LOCATION_STREET", "Baker Street"}, {"DEVICE_LOCATION_BUILDING", "7"}};
const PropertyMap kFull = with(kPosition, kAddress);
const PropertyMap kNothing = with(kFull, kFull, true);
// Hosts before 20.1 get latitude and longitude in place of the position.
const PropertyMap kLegacy = [] {
    PropertyMap map = with(kFull, {{"DEVICE_LOCATION_LATITUDE", "51.5000"}, {"DEVICE_LOCATION_LONGITUDE", "-0.1200"}});
    map.erase("DEVICE_LOCATION_POSITION");
    return map;
}();

// An endpoint with a wired device, a Wi-Fi device that sees one access point (too few to locate by) and one
// that sees two.
class LocationReading : public TestSupport::HttpsTest {
protected:
    static void SetUpTestSuite()
    {
        manager.emplace();  // on the private system bus it starts
        manager->addEthernetDevice("eth0", 100, "52:54:00:12:34:56", 1000);
        manager->addAccessPoint(manager->addWiFiDevice("wlan0", 100, "02:00:00:00:00:01", 0), "a", "A",
                                "0A:00:00:00:00:09", 90, {});
        const std::string wireless = manager->addWiFiDevice("wlan1", 100, "02:00:00:00:00:02", 54000);
        manager->addAccessPoint(wireless, "office", "Office", "a0:b1:c2:d3:e4:f5", 78, {0x1, 0x0, 0x188});
        manager->addAccessPoint(wireless, "cafe", "Cafe", "0A:00:00:00:00:01", 0, {});
        HttpsTest::SetUpTestSuite();
    }
    static void TearDownTestSuite()
    {
        HttpsTest::TearDownTestSuite();
        manager.reset();
    }
    static std::map<std::string, std::string> urls(bool address = true)
    {
        std::map<std::string, std::string> urls{{"LocateUrl", server->url("/geolocate?key=K")}};
        return address ? with(urls, {{"AddressUrl", server->url("/reverse?lat=%lat%&lon=%LNG%")}}) : urls;
    }
    static std::future<PropertyMap> read(LocationProvider& provider)
    {
        return TestSupport::onEngine([&provider] { return provider.getProperties(); });
    }
    static std::string requests()
    {
        std::string lines;
        for (const auto& request : server->requests()) {
            lines += request.method + " " + request.path + " " + request.body + "\n";
        }
        server->clearRequests();
        return lines;
    }

    static inline std::optional<TestSupport::NetworkManagerService> manager;
    const std::string kRequest = R"({"address":1,"considerIp":false,"wifiAccessPoints":[)"
                                 R"({"macAddress":"a0:b1:c2:d3:e4:f5","signalStrength":78},)"
                                 R"({"macAddress":"0A:00:00:00:00:01","signalStrength":0}]})";
};

// Each reading is kept: a second one asks nothing. A failure gives Unavailable, a failed address lookup leaves
// the position; without a locate URL nothing is asked.
TEST_F(LocationReading, EachReadingFromTheServicesAnswersIsKept)
{
    const HttpsAnswer located{.body = kAnswer + "}"}, address{.body = "{" + kOsmAddress}, failing{.status = 500};
    const std::string url = server->url("/geolocate?key=K"), post = "POST /geolocate?key=K " + kRequest + "\n";
    const std::string withAddress = post + "GET /reverse?lat=51.500000&lon=-0.120000 \n";
    const std::string noAddress = "POST /geolocate?key=K " + std::string(kRequest).replace(11, 1, "0") + "\n";
    const struct {
        HttpsAnswer locate, reverse;
        std::map<std::string, std::string> config;
        const char* host;
        int32_t filter;
        PropertyMap expected;
        std::string asked;
        const char* line = "";  // a line the reading leaves
    } cases[] = {
        {located, address, urls(), "20.1", 0, kFull, withAddress},
        {located, address, urls(), "20.1", 0x8000 | 0x4 | 0x1,
         {{"DEVICE_LOCATION_POSITION", "51.5000,-0.1200"}, {"DEVICE_LOCATION_ACCURACY", "25.0"}}, noAddress},
        {located, address, urls(false), "20.1", 0, kPosition, noAddress},
        // An older host, and the address in the location answer itself.
        {{.body = kAnswer + "," + kOsmAddress}, address, {{"LocateUrl", url}, {"AddressUrl", url}}, "19.4", 0, kLegacy, post},
        {{.status = 403, .body = R"({"error":{"code":403,"message":"Daily limit"}})"}, address, urls(), "20.1", 0, kNothing,
         post, "ERROR - Location request failed with error [Daily limit] code [403]"},
        {{.neverAnswer = true}, address, urls(), "20.1", 0, kNothing, post, "] failed with error [28]"},
        {located, failing, urls(), "20.1", 0, with(kFull, kAddress, true), withAddress},
        {located, address, {{"AddressUrl", server->url("/reverse")}}, "20.1", 0, kNothing, ""},
        {located, address, {}, "19.4", 0, with(kLegacy, kLegacy, true), ""},
        {located, address, {}, "20.1", 0x8000 | 0x1, {{"DEVICE_LOCATION_POSITION", "Unavailable"}}, ""},
    };
    for (const auto& test : cases) {
        server->setAnswer("/geolocate", test.locate);
        server->setAnswer("/reverse", test.reverse);
        const TestSupport::ScopedEnv timeout("CORVANE_CURLOPT_TIMEOUT", test.locate.neverAnswer ? "1500" : "30000");
        const TestSupport::LogWatch log;
        LocationProvider provider(
            TestSupport::category("Location", test.filter != 0 ? 1 : 2, test.filter, test.config), test.host);
        EXPECT_EQ(read(provider).get(), test.expected) << test.asked;
        EXPECT_EQ(read(provider).get(), test.expected) << test.asked;
        EXPECT_EQ(requests(), test.asked);
        EXPECT_TRUE(log.contains(test.line)) << test.line;
    }
}

TEST_F(LocationReading, OverlappingReadingsAgreeAndNothingIsAskedOffTheEngineOrWithoutNetworkManager)
{
    server->setAnswer("/geolocate", {.body = kAnswer + "}"});
    server->setAnswer("/reverse", {.body = "{" + kOsmAddress});
    LocationProvider overlapping(TestSupport::category("Location", 2, 0, urls()), "20.1");
    std::future<PropertyMap> first = read(overlapping);
    EXPECT_EQ(read(overlapping).get(), kFull);
    EXPECT_EQ(first.get(), kFull);
    requests();
    LocationProvider provider(TestSupport::category("Location", 2, 0, urls()), "20.1");
    const TestSupport::LogWatch log;
    std::thread([&provider] { EXPECT_EQ(provider.getProperties().get(), kNothing); }).join();
    EXPECT_TRUE(log.contains("ERROR - Unable to determine LOCATION since properties not requested from within glib"));
    manager->stop();  // libnm's client comes up without devices
    EXPECT_EQ(read(provider).get(), kNothing);
    EXPECT_EQ(requests(), "");
}

}  // namespace
