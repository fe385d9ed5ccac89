// The location provider: its answer parsers on their own, its geolocation
// request from a real libnm client talking to NetworkManager
// (python-dbusmock's networkmanager template) on a private system bus, and
// whole readings against local HTTPS location and address services. Readings
// that ask NetworkManager run on the library's engine thread, as in a session.
#include "providers/network/LocationProvider.h"

#include "support/Categories.h"
#include "support/Engine.h"
#include "support/HttpsServer.h"
#include "support/LogWatch.h"
#include "support/NetworkManagerService.h"
#include "support/SystemBus.h"
#include "support/TempDir.h"

#include <glib.h>
#include <gtest/gtest.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <locale.h>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

using TestSupport::LogWatch;
using TestSupport::NetworkManagerService;

namespace {

using Lp = LocationProvider;

constexpr unsigned int kActivated = NetworkManagerService::kActivated;

rapidjson::Document parse(const std::string& text)
{
    rapidjson::Document document;
    document.Parse(text.c_str(), text.size());
    EXPECT_FALSE(document.HasParseError()) << text;
    return document;
}

std::string serialise(const rapidjson::Value& value)
{
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    value.Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}

// Reads the location of an answer text; false when the answer is refused.
bool locationIn(const std::string& text, Location& location)
{
    const std::optional<Location> read = locationFromResponse(parse(text));
    location = read.value_or(location);
    return read.has_value();
}

Address addressIn(const std::string& text, bool expected = true)
{
    const std::optional<Address> address = addressFromResponse(parse(text));
    EXPECT_EQ(address.has_value(), expected) << text;
    return address.value_or(Address{});
}

std::vector<std::string> fieldsOf(const Address& address)
{
    return {address.country, address.postcode, address.state,   address.county,
            address.town,    address.street,   address.building};
}

}  // namespace

// ---- The location answer.

TEST(LocationAnswer, ReadsLatitudeLongitudeAndAccuracy)
{
    Location location;
    ASSERT_TRUE(locationIn(R"({"location":{"lat":51.5,"lng":-0.12},"accuracy":25.0})", location));
    EXPECT_DOUBLE_EQ(location.latitude, 51.5);
    EXPECT_DOUBLE_EQ(location.longitude, -0.12);
    EXPECT_DOUBLE_EQ(location.accuracy, 25.0);
    ASSERT_TRUE(locationIn(R"({"accuracy":1e1,"location":{"lng":1.0E2,"lat":-9.0e1,"x":[]},"more":{}})", location));
    EXPECT_DOUBLE_EQ(location.latitude, -90.0);
    EXPECT_DOUBLE_EQ(location.longitude, 100.0);
    EXPECT_DOUBLE_EQ(location.accuracy, 10.0);
}

TEST(LocationAnswer, RefusesMissingAndMistypedMembersWithTheirWarning)
{
    const std::pair<const char*, const char*> cases[] = {
        {R"({})", "WARNING - Location was unavailable\n"},
        {R"({"location":[51.5,-0.12],"accuracy":25.0})", "WARNING - Location was not an object\n"},
        {R"({"location":"51.5,-0.12","accuracy":25.0})", "WARNING - Location was not an object\n"},
        {R"({"location":{"lng":-0.12},"accuracy":25.0})", "WARNING - Location latitude was unavailable\n"},
        {R"({"location":{"lat":"51.5","lng":-0.12},"accuracy":25.0})", "WARNING - Location latitude was not a double\n"},
        {R"({"location":{"lat":51,"lng":-0.12},"accuracy":25.0})", "WARNING - Location latitude was not a double\n"},
        {R"({"location":{"lat":51.5},"accuracy":25.0})", "WARNING - Location longitude was unavailable\n"},
        {R"({"location":{"lat":51.5,"lng":null},"accuracy":25.0})", "WARNING - Location longitude was not a double\n"},
        {R"({"location":{"lat":51.5,"lng":-0.12}})", "WARNING - Location accuracy was unavailable\n"},
        // An integer accuracy is not a double.
        {R"({"location":{"lat":51.5,"lng":-0.12},"accuracy":25})", "WARNING - Location accuracy was not a double\n"},
        {R"({"location":{"lat":51.5,"lng":-0.12,"accuracy":25.0}})", "WARNING - Location accuracy was unavailable\n"},
        // Off the globe.
        {R"({"location":{"lat":91.0,"lng":-0.12},"accuracy":25.0})", "is out of range\n"},
        {R"({"location":{"lat":51.5,"lng":-180.5},"accuracy":25.0})", "is out of range\n"},
        {R"({"location":{"lat":51.5,"lng":-0.12},"accuracy":-1.0})", "is out of range\n"},
        {R"({"location":{"lat":1.7e308,"lng":-0.12},"accuracy":25.0})", "is out of range\n"},
    };
    for (const auto& [text, line] : cases) {
        LogWatch log;
        Location location{1.0, 2.0, 3.0};
        EXPECT_FALSE(locationIn(text, location)) << text;
        EXPECT_TRUE(log.contains(line)) << text << "\n" << log.text();
        EXPECT_DOUBLE_EQ(location.latitude, 1.0) << "a refused answer leaves the location alone";
    }
}

TEST(LocationAnswer, AnErrorMemberIsAFailedRequestWithItsMessageAndCode)
{
    const std::pair<const char*, const char*> cases[] = {
        {R"({"error":{"code":404,"message":"Not found","errors":[]}})",
         "ERROR - Location request failed with error [Not found] code [404]\n"},
        {R"({"error":{"code":"404","message":7}})", "ERROR - Location request failed with error [] code [0]\n"},
        {R"({"error":"quota","location":{"lat":51.5,"lng":-0.12},"accuracy":25.0})",
         "ERROR - Location request failed with error [] code [0]\n"},
        {R"({"error":{"code":4294967296,"message":"big"}})",
         "ERROR - Location request failed with error [big] code [0]\n"},
        {R"({"error":null})", "ERROR - Location request failed with error [] code [0]\n"},
    };
    for (const auto& [text, line] : cases) {
        LogWatch log;
        Location location;
        EXPECT_FALSE(locationIn(text, location)) << text;
        EXPECT_TRUE(log.contains(line)) << text << "\n" << log.text();
    }
}

TEST(LocationAnswer, AnswersThatAreNoObjectAreRefused)
{
    for (const char* text : {"[]", "[{\"location\":{\"lat\":1.0,\"lng\":1.0},\"accuracy\":1.0}]", "null", "1.5",
                             "\"location\"", "true"}) {
        Location location;
        EXPECT_FALSE(locationIn(text, location)) << text;
    }
    // A document that failed to parse is refused too.
    rapidjson::Document broken;
    broken.Parse("{\"location\":");
    EXPECT_FALSE(locationFromResponse(broken));
}

// ---- The address, object style.

TEST(LocationAddressShapeOne, ReadsTheAddressObject)
{
    const Address address = addressIn(R"({"place_id":1,"address":{"house_number":"7","road":"Baker Street",
        "city":"A","village":"B","state":"England","postcode":"NW1 6XE","country":"United Kingdom",
        "country_code":"gb","county":"Greater London"}})");
    // No county from this shape; the town joins city and village.
    EXPECT_EQ(fieldsOf(address), (std::vector<std::string>{"United Kingdom", "NW1 6XE", "England", "", "A, B",
                                                           "Baker Street", "7"}));
}

TEST(LocationAddressShapeOne, TownAndBuildingRules)
{
    EXPECT_EQ(addressIn(R"({"address":{"city":"A","town":"T","village":"V"}})").town, "A, T, V");
    EXPECT_EQ(addressIn(R"({"address":{"city":"","town":"T","village":7}})").town, "T");
    EXPECT_EQ(addressIn(R"({"address":{"village":"V"}})").town, "V");
    EXPECT_EQ(addressIn(R"({"address":{"building":"Tower","house_number":"7"}})").building, "Tower");
    EXPECT_EQ(addressIn(R"({"address":{"building":"","house_number":"7"}})").building, "7");
    EXPECT_EQ(addressIn(R"({"address":{"building":["Tower"],"house_number":"7"}})").building, "7");
    EXPECT_EQ(fieldsOf(addressIn(R"({"address":{}})")), std::vector<std::string>(7));
    // Mistyped members are empty.
    EXPECT_EQ(fieldsOf(addressIn(R"({"address":{"country":1,"postcode":null,"state":{},"road":[],"city":true}})")),
              std::vector<std::string>(7));
}

TEST(LocationAddressShapeOne, WithoutAnAddressObjectTheOtherShapeIsTried)
{
    LogWatch log;
    EXPECT_FALSE(addressFromResponseOne(parse(R"({"results":[]})")));
    EXPECT_TRUE(log.contains("VERBOSE - Attempt to decode location from response one found no address\n"));
    EXPECT_FALSE(addressFromResponseOne(parse(R"({"address":"1 Main Street"})")));
    EXPECT_TRUE(log.contains(
        "VERBOSE - Attempt to decode location from response one found address that was not an object\n"));
    // An "address" that is no object, beside usable "results": the second shape answers.
    EXPECT_EQ(addressIn(R"({"address":[],"results":[{"address_components":[{"long_name":"X","types":["country"]}]}]})")
                  .country,
              "X");
}

// ---- The address, component style.

TEST(LocationAddressShapeTwo, ReadsTheComponentsOfTheFirstResult)
{
    const Address address = addressIn(R"({"results":[{"address_components":[
        {"long_name":"221B","short_name":"221B","types":["street_number"]},
        {"long_name":"Baker Street","types":["route"]},
        {"long_name":"London","types":["postal_town"]},
        {"long_name":"Greater London","types":["administrative_area_level_2","political"]},
        {"long_name":"England","types":["administrative_area_level_1","political"]},
        {"long_name":"United Kingdom","short_name":"GB","types":["country","political"]},
        {"long_name":"NW1 6XE","types":["postal_code"]}]},
        {"address_components":[{"long_name":"Elsewhere","types":["country"]}]}],"status":"OK"})");
    EXPECT_EQ(fieldsOf(address), (std::vector<std::string>{"United Kingdom", "NW1 6XE", "England", "Greater London",
                                                           "London", "Baker Street", "221B"}));
}

TEST(LocationAddressShapeTwo, CountyAndBuildingCollectTheRestReplaces)
{
    const Address address = addressIn(R"({"results":[{"address_components":[
        {"long_name":"X","types":["administrative_area_level_2"]},
        {"long_name":"Y","types":["administrative_area_level_3"]},
        {"long_name":"Z","types":["administrative_area_level_5"]},
        {"long_name":"Flat 2","types":["subpremise"]},
        {"long_name":"Tower","types":["premise"]},
        {"long_name":"Shop","types":["establishment"]},
        {"long_name":"7","types":["street_number"]},
        {"long_name":"Town A","types":["locality"]},
        {"long_name":"Town B","types":["postal_town"]},
        {"long_name":"PO 1","types":["post_box"]},
        {"long_name":"PC 2","types":["postal_code"]},
        {"long_name":"S1","types":["administrative_area_level_1"]},
        {"long_name":"S2","types":["administrative_area_level_1"]},
        {"long_name":"R1","types":["route"]},
        {"long_name":"R2","types":["route"]},
        {"long_name":"C1","types":["country"]},
        {"long_name":"C2","types":["country"]}]}]})");
    EXPECT_EQ(fieldsOf(address),
              (std::vector<std::string>{"C2", "PC 2", "S2", "X, Y, Z", "Town B", "R2", "Flat 2, Tower, Shop, 7"}));
    // Every type of a component counts.
    EXPECT_EQ(addressIn(R"({"results":[{"address_components":[{"long_name":"Q","types":["route","locality"]}]}]})")
                  .town,
              "Q");
}

TEST(LocationAddressShapeTwo, EmptyAndOddResultsGiveAnEmptyAddress)
{
    for (const char* text : {
             R"({"results":[]})",
             R"({"results":[[]]})",
             R"({"results":["x"]})",
             R"({"results":[{}]})",
             R"({"results":[{"address_components":{}}]})",
             R"({"results":[{"address_components":[1,"a",null,[],{}]}]})",
             R"({"results":[{"address_components":[{"long_name":"X","types":"country"}]}]})",
             R"({"results":[{"address_components":[{"long_name":"X","types":[1,null,{},["country"]]}]}]})",
         }) {
        EXPECT_EQ(fieldsOf(addressIn(text)), std::vector<std::string>(7)) << text;
    }
    // A long name that is no string is empty.
    EXPECT_EQ(addressIn(R"({"results":[{"address_components":[{"long_name":5,"types":["country"]}]}]})").country, "");
}

TEST(LocationAddressShapeTwo, NeitherShapeIsAFailure)
{
    LogWatch log;
    addressIn(R"({"status":"ZERO_RESULTS"})", false);
    EXPECT_TRUE(log.contains("VERBOSE - Attempt to decode location from response two found no results\n"));
    addressIn(R"({"results":{"0":{}}})", false);
    EXPECT_TRUE(log.contains(
        "VERBOSE - Attempt to decode location from response two found results that was not an array\n"));
    for (const char* text : {"[]", "null", "\"address\"", "[{\"address\":{}}]"}) {
        addressIn(text, false);
    }
}

TEST(LocationAddress, ADeeplyNestedAnswerIsReadWithoutRecursion)
{
    std::string text = R"({"results":[{"address_components":[{"long_name":"X","types":["country"]},)";
    text += std::string(20000, '[') + std::string(20000, ']') + "]}]}";
    rapidjson::Document document;
    document.Parse<rapidjson::kParseIterativeFlag>(text.c_str());
    ASSERT_FALSE(document.HasParseError());
    const std::optional<Address> address = addressFromResponse(document);
    ASSERT_TRUE(address);
    EXPECT_EQ(address->country, "X");
}

TEST(LocationAddress, SafeReadObjectMemberAsString)
{
    const rapidjson::Document document = parse(R"({"a":"x","b":1,"c":null,"d":"","e":{"a":"y"}})");
    EXPECT_EQ(safeReadObjectMemberAsString(document, "a"), "x");
    EXPECT_EQ(safeReadObjectMemberAsString(document, "b"), "");
    EXPECT_EQ(safeReadObjectMemberAsString(document, "c"), "");
    EXPECT_EQ(safeReadObjectMemberAsString(document, "d"), "");
    EXPECT_EQ(safeReadObjectMemberAsString(document, "e"), "");
    EXPECT_EQ(safeReadObjectMemberAsString(document, "z"), "");
    EXPECT_EQ(safeReadObjectMemberAsString(document["e"], "a"), "y");
    EXPECT_EQ(safeReadObjectMemberAsString(document["a"], "a"), "");
    EXPECT_EQ(safeReadObjectMemberAsString(parse(R"(["a"])"), "a"), "");
    // Names and values are taken whole, with any NUL inside.
    const rapidjson::Document nul = parse(R"({"a\u0000b":"x\u0000y","a":"plain"})");
    EXPECT_EQ(safeReadObjectMemberAsString(nul, std::string("a\0b", 3)), std::string("x\0y", 3));
    EXPECT_EQ(safeReadObjectMemberAsString(nul, "a"), "plain");
}

// ---- Numbers and the map link.

TEST(LocationFormatting, FixedDecimalsWithAPoint)
{
    EXPECT_EQ(formatDecimal(51.5, 4), "51.5000");
    EXPECT_EQ(formatDecimal(-0.12, 4), "-0.1200");
    EXPECT_EQ(formatDecimal(25.0, 1), "25.0");
    EXPECT_EQ(formatDecimal(0.05, 1), "0.1");
    EXPECT_EQ(formatDecimal(12.34575, 4), "12.3458");
    EXPECT_EQ(formatDecimal(-0.00001, 4), "-0.0000");
    EXPECT_EQ(formatDecimal(51.5, 6), "51.500000");
    EXPECT_EQ(formatDecimal(1e300, 1).size(), 303U);
    // Exactly what printf gives in the C locale (this process never leaves it).
    for (const double value : {0.0, 1.0 / 3.0, -179.99995, 89.123456789, 2.5e-5, 123456.78951}) {
        for (const int decimals : {1, 4, 6}) {
            char expected[64];
            std::snprintf(expected, sizeof(expected), "%.*f", decimals, value);
            EXPECT_EQ(formatDecimal(value, decimals), expected) << value << " " << decimals;
        }
    }
}

TEST(LocationFormatting, IgnoresTheLocaleOfTheCallingThread)
{
    // A German locale of this thread only, compiled from the system's locale
    // sources into a directory of the test's own when none is installed.
    locale_t german = newlocale(LC_NUMERIC_MASK, "de_DE.UTF-8", nullptr);
    TestSupport::TempDir locales;
    if (german == nullptr) {
        const std::string compile = "localedef -i de_DE -f UTF-8 " + locales.file("de_DE.UTF-8") + " >/dev/null 2>&1";
        if (std::system(compile.c_str()) == 0) {
            const TestSupport::ScopedEnv path("LOCPATH", locales.path());
#if defined(__SANITIZE_ADDRESS__)
            // glibc keeps the search path of a locale loaded through LOCPATH
            // for the rest of the process.
            __lsan_disable();
#endif
            german = newlocale(LC_NUMERIC_MASK, "de_DE.UTF-8", nullptr);
#if defined(__SANITIZE_ADDRESS__)
            __lsan_enable();
#endif
        }
    }
    if (german == nullptr) {
        GTEST_SKIP() << "no German locale and no locale sources to compile one";
    }
    const locale_t previous = uselocale(german);
    char check[16];
    std::snprintf(check, sizeof(check), "%.1f", 1.5);
    const std::string position = formatDecimal(51.5, 4) + "," + formatDecimal(-0.12, 4);
    const std::string accuracy = formatDecimal(25.0, 1);
    const std::string link = mapLinkOf(Location{51.5, -0.12, 25.0});
    uselocale(previous);
    freelocale(german);
    ASSERT_STREQ(check, "1,5") << "the German locale is not in effect";
    EXPECT_EQ(position, "51.5000,-0.1200");
    EXPECT_EQ(accuracy, "25.0");
    EXPECT_EQ(link, "https://www.openstreetmap.org/?mlat=51.5000&mlon=-0.1200#map=17/51.5000/-0.1200");
    EXPECT_STREQ(std::setlocale(LC_NUMERIC, nullptr), "C") << "the process locale is untouched";
}

// ---- Readings without a service.

namespace {

PropertyMap unavailable(std::initializer_list<const char*> keys)
{
    PropertyMap map;
    for (const char* key : keys) {
        map.emplace(key, "Unavailable");
    }
    return map;
}

const PropertyMap kUnavailableAddress =
    unavailable({"DEVICE_LOCATION_COUNTRY", "DEVICE_LOCATION_POSTCODE", "DEVICE_LOCATION_STATE",
                 "DEVICE_LOCATION_COUNTY", "DEVICE_LOCATION_TOWN", "DEVICE_LOCATION_STREET",
                 "DEVICE_LOCATION_BUILDING"});

PropertyMap withAddressUnavailable(PropertyMap map)
{
    map.insert(kUnavailableAddress.begin(), kUnavailableAddress.end());
    return map;
}

const PropertyMap kUnavailableFrom20_1 = withAddressUnavailable(
    unavailable({"DEVICE_LOCATION_POSITION", "DEVICE_LOCATION_ACCURACY", "DEVICE_LOCATION_URL",
                 "DEVICE_LOCATION_PROVIDER", "DEVICE_LOCATION_SOURCE"}));
const PropertyMap kUnavailableBefore20_1 = withAddressUnavailable(
    unavailable({"DEVICE_LOCATION_LATITUDE", "DEVICE_LOCATION_LONGITUDE", "DEVICE_LOCATION_ACCURACY",
                 "DEVICE_LOCATION_URL", "DEVICE_LOCATION_PROVIDER", "DEVICE_LOCATION_SOURCE"}));

using Config = std::map<std::string, std::string>;

std::shared_ptr<Category const> location(Config config, int32_t status = 2, int32_t filter = 0)
{
    return TestSupport::category("Location", status, filter, std::move(config));
}

bool isReady(const std::future<PropertyMap>& future)
{
    return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}

}  // namespace

TEST(LocationReading, WithoutALocateUrlEverythingIsUnavailableAtOnce)
{
    LogWatch log;
    LocationProvider current(location({{"AddressUrl", "https://127.0.0.1:1/reverse"}}), "20.1");
    std::future<PropertyMap> reading = current.getProperties();
    ASSERT_TRUE(isReady(reading));
    EXPECT_EQ(reading.get(), kUnavailableFrom20_1);
    EXPECT_TRUE(log.contains("VERBOSE - Address URL is [https://127.0.0.1:1/reverse]\n"));
    EXPECT_FALSE(log.contains("Location URL is"));
    EXPECT_FALSE(log.contains("Getting LOCATION request..."));

    LocationProvider older(location({{"locateurl", "https://127.0.0.1:1/geolocate"}}), "19.4");
    EXPECT_EQ(older.getProperties().get(), kUnavailableBefore20_1);
    // Only the selected keys; the map is the cache, answered again.
    LocationProvider narrow(location({}, 1, Lp::kPosition.bit | Lp::kTown.bit | Lp::kLatitude.bit), "20.1.0.7");
    EXPECT_EQ(narrow.getProperties().get(), unavailable({"DEVICE_LOCATION_POSITION", "DEVICE_LOCATION_TOWN"}));
    EXPECT_EQ(narrow.getProperties().get(), unavailable({"DEVICE_LOCATION_POSITION", "DEVICE_LOCATION_TOWN"}));
    LocationProvider off(location({}, 0, -1), "20.1");
    EXPECT_EQ(off.getProperties().get(), PropertyMap{});
}

TEST(LocationReading, OffTheEngineThreadTheRequestIsNotBuiltAndTheResultIsKept)
{
    LogWatch log;
    LocationProvider provider(location({{"LocateUrl", "https://127.0.0.1:1/geolocate"}}), "20.1");
    PropertyMap first;
    PropertyMap second;
    // Only the engine thread asks NetworkManager.
    std::thread reader([&] {
        first = provider.getProperties().get();
        second = provider.getProperties().get();
    });
    reader.join();
    EXPECT_EQ(first, kUnavailableFrom20_1);
    EXPECT_EQ(second, first);
    EXPECT_EQ(log.count("ERROR - Unable to determine LOCATION since properties not requested from within glib main "
                        "context\n"),
              1U);
    EXPECT_EQ(log.count("VERBOSE - Getting LOCATION properties...\n"), 1U);
    EXPECT_TRUE(log.contains("VERBOSE - Location URL is [https://127.0.0.1:1/geolocate]\n"));
}

// ---- The geolocation request from NetworkManager.

namespace {

class LocationWithNetworkManager : public ::testing::Test {
protected:
    static void SetUpTestSuite() { TestSupport::SystemBus::instance(); }

    // A reading started on the engine thread.
    static std::future<PropertyMap> read(LocationProvider& provider)
    {
        return TestSupport::onEngine([&provider] { return provider.getProperties(); });
    }

    // The request a client made now would build; empty when none.
    static std::string requestNow(bool addressWanted)
    {
        GError* raw = nullptr;
        NMClient* client = nm_client_new(nullptr, &raw);
        EXPECT_NE(client, nullptr) << (raw != nullptr ? raw->message : "");
        if (client == nullptr) {
            g_clear_error(&raw);
            return "";
        }
        rapidjson::Document request;
        request.SetObject();
        const bool built = getLocationRequest(client, request, addressWanted);
        g_object_unref(client);
        return built ? serialise(request) : "";
    }
};

}  // namespace

TEST_F(LocationWithNetworkManager, TheFirstWiFiDeviceWithTwoAccessPointsGivesTheRequest)
{
    NetworkManagerService manager;
    manager.addEthernetDevice("eth0", kActivated, "52:54:00:12:34:56", 1000);
    const std::string lonely = manager.addWiFiDevice("wlan0", kActivated, "02:00:00:00:00:01", 0);
    manager.addAccessPoint(lonely, "alone", "Alone", "0A:00:00:00:00:09", 90, {});
    const std::string wireless = manager.addWiFiDevice("wlan1", kActivated, "02:00:00:00:00:02", 54000);
    manager.addAccessPoint(wireless, "office", "Office", "a0:b1:c2:d3:e4:f5", 78, {0x1, 0x0, 0x188});
    manager.addAccessPoint(wireless, "cafe", "Cafe", "0A:00:00:00:00:01", 0, {});
    manager.addAccessPoint(wireless, "strong", "Strong", "0A:00:00:00:00:02", 100, {});
    const std::string later = manager.addWiFiDevice("wlan2", kActivated, "02:00:00:00:00:03", 0);
    manager.addAccessPoint(later, "x", "X", "0A:00:00:00:00:07", 50, {});
    manager.addAccessPoint(later, "y", "Y", "0A:00:00:00:00:08", 50, {});

    LogWatch log;
    EXPECT_EQ(requestNow(true), R"({"address":1,"considerIp":false,"wifiAccessPoints":[)"
                                R"({"macAddress":"a0:b1:c2:d3:e4:f5","signalStrength":78},)"
                                R"({"macAddress":"0A:00:00:00:00:01","signalStrength":0},)"
                                R"({"macAddress":"0A:00:00:00:00:02","signalStrength":100}]})");
    EXPECT_TRUE(log.contains("INFO - BSSID [a0:b1:c2:d3:e4:f5] has strength [78]\n"));
    EXPECT_TRUE(log.contains("INFO - BSSID [0A:00:00:00:00:01] has strength [0]\n"));
    EXPECT_TRUE(log.contains("getLocationRequest : ENTER\n"));
    EXPECT_TRUE(log.contains("getLocationRequest : EXIT\n"));
    EXPECT_FALSE(log.contains("0A:00:00:00:00:09"));
    EXPECT_FALSE(log.contains("0A:00:00:00:00:07"));
    EXPECT_EQ(requestNow(false).rfind(R"({"address":0,"considerIp":false,"wifiAccessPoints":[{)", 0), 0U);
}

TEST_F(LocationWithNetworkManager, FewerThanTwoAccessPointsEverywhereBuildNoRequest)
{
    NetworkManagerService manager;
    manager.addEthernetDevice("eth0", kActivated, "52:54:00:12:34:56", 1000);
    manager.addWiFiDevice("wlan0", kActivated, "02:00:00:00:00:01", 0);
    const std::string wireless = manager.addWiFiDevice("wlan1", kActivated, "02:00:00:00:00:02", 0);
    manager.addAccessPoint(wireless, "alone", "Alone", "0A:00:00:00:00:09", 90, {});
    LogWatch log;
    EXPECT_EQ(requestNow(true), "");
    EXPECT_TRUE(log.contains("INFO - Found only [0] access points, aborting request for location\n"));
    EXPECT_FALSE(log.contains("BSSID ["));
}

// ---- Whole readings against local location and address services.

namespace {

constexpr const char* kAnswer = R"({"location":{"lat":51.5,"lng":-0.12},"accuracy":25.0})";
constexpr const char* kRequestBody = R"({"address":1,"considerIp":false,"wifiAccessPoints":[)"
                                     R"({"macAddress":"a0:b1:c2:d3:e4:f5","signalStrength":78},)"
                                     R"({"macAddress":"0A:00:00:00:00:01","signalStrength":40}]})";
constexpr const char* kOsmAddress = R"({"place_id":1,"address":{"house_number":"7","road":"Baker Street",
    "city":"A","village":"B","state":"England","postcode":"NW1 6XE","country":"United Kingdom"}})";
constexpr const char* kGoogleAddress = R"({"results":[{"address_components":[
    {"long_name":"221B","types":["street_number"]},{"long_name":"Baker Street","types":["route"]},
    {"long_name":"London","types":["postal_town"]},{"long_name":"X","types":["administrative_area_level_2"]},
    {"long_name":"Y","types":["administrative_area_level_3"]},{"long_name":"England","types":["administrative_area_level_1"]},
    {"long_name":"United Kingdom","types":["country"]},{"long_name":"NW1 6XE","types":["postal_code"]}]}],"status":"OK"})";

const PropertyMap kOsmKeys{
    {"DEVICE_LOCATION_COUNTRY", "United Kingdom"}, {"DEVICE_LOCATION_POSTCODE", "NW1 6XE"},
    {"DEVICE_LOCATION_STATE", "England"},          {"DEVICE_LOCATION_COUNTY", ""},
    {"DEVICE_LOCATION_TOWN", "A, B"},              {"DEVICE_LOCATION_STREET", "Baker Street"},
    {"DEVICE_LOCATION_BUILDING", "7"},
};

const PropertyMap kPositionKeys{
    {"DEVICE_LOCATION_POSITION", "51.5000,-0.1200"},
    {"DEVICE_LOCATION_ACCURACY", "25.0"},
    {"DEVICE_LOCATION_URL", "https://www.openstreetmap.org/?mlat=51.5000&mlon=-0.1200#map=17/51.5000/-0.1200"},
    {"DEVICE_LOCATION_PROVIDER", "Third Party"},
    {"DEVICE_LOCATION_SOURCE", "WiFi"},
};

PropertyMap merged(PropertyMap map, const PropertyMap& more)
{
    map.insert(more.begin(), more.end());
    return map;
}

TestSupport::HttpsAnswer json(const std::string& body, int status = 200)
{
    TestSupport::HttpsAnswer answer;
    answer.status = status;
    answer.body = body;
    return answer;
}

// An office endpoint whose Wi-Fi device sees two access points, a location
// service and an address service.
class LocationServices : public LocationWithNetworkManager {
protected:
    LocationServices()
    {
        const std::string wireless = manager.addWiFiDevice("wlan0", kActivated, "02:00:00:00:00:01", 54000);
        manager.addAccessPoint(wireless, "office", "Office", "a0:b1:c2:d3:e4:f5", 78, {0x1, 0x0, 0x188});
        manager.addAccessPoint(wireless, "cafe", "Cafe", "0A:00:00:00:00:01", 40, {});
        server.setAnswer("/geolocate", json(kAnswer));
        server.setAnswer("/reverse", json(kOsmAddress));
    }

    std::string locateUrl() const { return server.url("/geolocate?key=K"); }
    std::string addressUrl() const { return server.url("/reverse?format=json&lat=%lat%&lon=%LNG%&zoom=18"); }

    NetworkManagerService manager;
    TestSupport::HttpsServer server;
    TestSupport::ScopedEnv ca{"CORVANE_CERTIFICATE_FILE", TestSupport::HttpsServer::caFile()};
};

}  // namespace

TEST_F(LocationServices, AReadingPostsTheAccessPointsAndReadsPositionAndAddress)
{
    LocationProvider provider(location({{"LocateUrl", locateUrl()}, {"AddressUrl", addressUrl()}}), "20.1");
    LogWatch log;
    const auto start = std::chrono::steady_clock::now();
    std::future<PropertyMap> reading = read(provider);
    const PropertyMap properties = reading.get();
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    RecordProperty("reading_ms", static_cast<int>(took.count()));
    std::printf("One reading against the local services took %lld ms\n", static_cast<long long>(took.count()));
    SCOPED_TRACE(log.text());

    EXPECT_EQ(properties, merged(kPositionKeys, kOsmKeys));
    const std::vector<TestSupport::HttpsRequest> requests = server.requests();
    ASSERT_EQ(requests.size(), 2U);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].path, "/geolocate?key=K");
    EXPECT_EQ(requests[0].body, kRequestBody);
    EXPECT_EQ(requests[1].method, "GET");
    EXPECT_EQ(requests[1].path, "/reverse?format=json&lat=51.500000&lon=-0.120000&zoom=18");

    for (const char* line : {"VERBOSE - Getting LOCATION request...\n", "VERBOSE - Done getting LOCATION request.\n",
                             "INFO - BSSID [a0:b1:c2:d3:e4:f5] has strength [78]\n",
                             "INFO - BSSID [0A:00:00:00:00:01] has strength [40]\n",
                             "VERBOSE - Getting LOCATION properties...\n", "getLocation : ENTER\n",
                             "getLocation : EXIT\n", "VERBOSE - Done getting LOCATION properties.\n"}) {
        EXPECT_TRUE(log.contains(line)) << line;
    }
    EXPECT_FALSE(log.contains(" : WARNING - "));

    // The result is kept: later readings are answered at once, without a request.
    std::future<PropertyMap> again = read(provider);
    ASSERT_TRUE(isReady(again));
    EXPECT_EQ(again.get(), properties);
    EXPECT_EQ(server.requests().size(), 2U);
    EXPECT_EQ(log.count("Getting LOCATION request..."), 1U);
}

TEST_F(LocationServices, HostsBefore20_1GetLatitudeAndLongitude)
{
    server.setAnswer("/maps/geocode", json(kGoogleAddress));
    LocationProvider provider(
        location({{"LocateUrl", locateUrl()}, {"AddressUrl", server.url("/maps/geocode?latlng=%LAT%,%long%")}}),
        "19.4");
    EXPECT_EQ(read(provider).get(),
              (PropertyMap{
                  {"DEVICE_LOCATION_LATITUDE", "51.5000"},
                  {"DEVICE_LOCATION_LONGITUDE", "-0.1200"},
                  {"DEVICE_LOCATION_ACCURACY", "25.0"},
                  {"DEVICE_LOCATION_URL", kPositionKeys.at("DEVICE_LOCATION_URL")},
                  {"DEVICE_LOCATION_PROVIDER", "Third Party"},
                  {"DEVICE_LOCATION_SOURCE", "WiFi"},
                  {"DEVICE_LOCATION_COUNTRY", "United Kingdom"},
                  {"DEVICE_LOCATION_POSTCODE", "NW1 6XE"},
                  {"DEVICE_LOCATION_STATE", "England"},
                  {"DEVICE_LOCATION_COUNTY", "X, Y"},
                  {"DEVICE_LOCATION_TOWN", "London"},
                  {"DEVICE_LOCATION_STREET", "Baker Street"},
                  {"DEVICE_LOCATION_BUILDING", "221B"},
              }));
    ASSERT_EQ(server.requests().size(), 2U);
    EXPECT_EQ(server.requests()[1].path, "/maps/geocode?latlng=51.500000,-0.120000");
}

TEST_F(LocationServices, TheSameUrlForBothMeansTheLocationAnswerCarriesTheAddress)
{
    const std::string withAddress =
        R"({"location":{"lat":51.5,"lng":-0.12},"accuracy":25.0,"address":{"road":"Baker Street","city":"A",)"
        R"("village":"B","house_number":"7","postcode":"NW1 6XE","state":"England","country":"United Kingdom"}})";
    server.setAnswer("/geolocate", json(withAddress));
    LocationProvider provider(location({{"LocateUrl", locateUrl()}, {"AddressUrl", locateUrl()}}), "20.1");
    EXPECT_EQ(read(provider).get(), merged(kPositionKeys, kOsmKeys));
    ASSERT_EQ(server.requests().size(), 1U);
    EXPECT_EQ(server.requests()[0].body, kRequestBody);

    // The component style in the location answer.
    server.clearRequests();
    server.setAnswer("/geolocate", json(std::string(kGoogleAddress).insert(1, R"("location":{"lat":51.5,"lng":-0.12},"accuracy":25.0,)")));
    LocationProvider google(location({{"LocateUrl", locateUrl()}, {"AddressUrl", locateUrl()}}), "20.1");
    const PropertyMap properties = read(google).get();
    EXPECT_EQ(properties.at("DEVICE_LOCATION_COUNTY"), "X, Y");
    EXPECT_EQ(properties.at("DEVICE_LOCATION_POSITION"), "51.5000,-0.1200");
    EXPECT_EQ(server.requests().size(), 1U);
}

TEST_F(LocationServices, AFailedAddressLookupLeavesThePosition)
{
    for (const TestSupport::HttpsAnswer& answer :
         {json("not json", 500), json(kOsmAddress, 404), json(R"({"status":"ZERO_RESULTS"})"),
          json(R"([{"address":{}}])")}) {
        server.setAnswer("/reverse", answer);
        LocationProvider provider(location({{"LocateUrl", locateUrl()}, {"AddressUrl", addressUrl()}}), "20.1");
        EXPECT_EQ(read(provider).get(), merged(kPositionKeys, kUnavailableAddress)) << answer.body;
    }
}

TEST_F(LocationServices, ServiceFailuresMakeEveryKeyUnavailableAndAreKept)
{
    struct Case {
        TestSupport::HttpsAnswer answer;
        const char* line;
    };
    TestSupport::HttpsAnswer silent;
    silent.neverAnswer = true;
    const Case cases[] = {
        {json(R"({"error":{"code":403,"message":"Daily limit exceeded","errors":[]}})", 403),
         "ERROR - Location request failed with error [Daily limit exceeded] code [403]\n"},
        {json(kAnswer, 301), "] failed with HTTP status [301]\n"},
        {json(kAnswer, 500), "] failed with HTTP status [500]\n"},
        {json(""), "VERBOSE - Location request failed\n"},
        {json(R"({"location":{"lat":51.5,"lng":-0.12},"accuracy":25})"),
         "getLocation : WARNING - Location accuracy was not a double\n"},
        {json(R"([{"location":{"lat":51.5,"lng":-0.12},"accuracy":25.0}])"), "WARNING - Location was unavailable\n"},
        {json(std::string(200000, '[') + std::string(200000, ']')), "WARNING - Location was unavailable\n"},
        {json("{\"location\":\"" + std::string(900000, 'x') + "\"}"), "WARNING - Location was not an object\n"},
        {json("{\"location\":\"" + std::string(2 << 20, 'x') + "\"}"), "VERBOSE - Location request failed\n"},
        {silent, "VERBOSE - Location request failed\n"},
    };
    for (const Case& current : cases) {
        SCOPED_TRACE(current.answer.body.substr(0, 80));
        server.setAnswer("/geolocate", current.answer);
        server.clearRequests();
        std::optional<TestSupport::ScopedEnv> timeout;
        if (current.answer.neverAnswer) {
            timeout.emplace("CORVANE_CURLOPT_TIMEOUT", "1500");
        }
        LogWatch log;
        LocationProvider provider(location({{"LocateUrl", locateUrl()}, {"AddressUrl", addressUrl()}}), "20.1");
        EXPECT_EQ(read(provider).get(), kUnavailableFrom20_1);
        EXPECT_TRUE(log.contains(current.line)) << log.text().substr(0, 3000);
        EXPECT_EQ(read(provider).get(), kUnavailableFrom20_1);
        EXPECT_EQ(server.requests().size(), 1U) << "the failure is kept; the address service is not asked";
    }
}

TEST_F(LocationServices, OnlyTheSelectedKeysAndNoAddressRequestWithoutAnAddressKey)
{
    LocationProvider provider(location({{"LocateUrl", locateUrl()}, {"AddressUrl", addressUrl()}}, 1,
                                       Lp::kPosition.bit | Lp::kAccuracy.bit | Lp::kLatitude.bit),
                              "20.1");
    EXPECT_EQ(read(provider).get(),
              (PropertyMap{{"DEVICE_LOCATION_POSITION", "51.5000,-0.1200"}, {"DEVICE_LOCATION_ACCURACY", "25.0"}}));
    ASSERT_EQ(server.requests().size(), 1U);
    EXPECT_EQ(server.requests()[0].body.rfind(R"({"address":0,"considerIp":false,)", 0), 0U);

    // An address key alone asks for the address too.
    server.clearRequests();
    LocationProvider town(location({{"LocateUrl", locateUrl()}, {"AddressUrl", addressUrl()}}, 1, Lp::kTown.bit),
                          "20.1");
    EXPECT_EQ(read(town).get(), (PropertyMap{{"DEVICE_LOCATION_TOWN", "A, B"}}));
    ASSERT_EQ(server.requests().size(), 2U);
    EXPECT_EQ(server.requests()[0].body.rfind(R"({"address":1,)", 0), 0U);
}

TEST_F(LocationServices, WithoutAnAddressUrlNoAddressKeyIsReported)
{
    LocationProvider provider(location({{"LocateUrl", locateUrl()}}), "20.1");
    EXPECT_EQ(read(provider).get(), kPositionKeys);
    ASSERT_EQ(server.requests().size(), 1U);
    EXPECT_EQ(server.requests()[0].body.rfind(R"({"address":0,)", 0), 0U);
}

TEST_F(LocationServices, ReadingsThatOverlapWhileNothingIsKeptAgree)
{
    LocationProvider provider(location({{"LocateUrl", locateUrl()}, {"AddressUrl", addressUrl()}}), "20.1");
    std::future<PropertyMap> first = read(provider);
    std::future<PropertyMap> second = read(provider);
    const PropertyMap expected = merged(kPositionKeys, kOsmKeys);
    EXPECT_EQ(first.get(), expected);
    EXPECT_EQ(second.get(), expected);
    EXPECT_EQ(read(provider).get(), expected);
    EXPECT_EQ(server.requests().size(), 4U);
}

TEST_F(LocationWithNetworkManager, ASingleAccessPointGivesUnavailableWithoutARequest)
{
    NetworkManagerService manager;
    const std::string wireless = manager.addWiFiDevice("wlan0", kActivated, "02:00:00:00:00:01", 54000);
    manager.addAccessPoint(wireless, "alone", "Alone", "a0:b1:c2:d3:e4:f5", 78, {});
    TestSupport::HttpsServer server;
    const TestSupport::ScopedEnv ca("CORVANE_CERTIFICATE_FILE", TestSupport::HttpsServer::caFile());
    server.setAnswer("/geolocate", json(kAnswer));
    LogWatch log;
    LocationProvider provider(location({{"LocateUrl", server.url("/geolocate")}}), "19.4");
    EXPECT_EQ(read(provider).get(), kUnavailableBefore20_1);
    EXPECT_TRUE(log.contains("INFO - Found only [0] access points, aborting request for location\n"));
    EXPECT_EQ(read(provider).get(), kUnavailableBefore20_1);
    EXPECT_EQ(log.count("Getting LOCATION request..."), 1U);
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(LocationWithNetworkManager, WithoutNetworkManagerNoRequestIsMade)
{
    TestSupport::HttpsServer server;
    const TestSupport::ScopedEnv ca("CORVANE_CERTIFICATE_FILE", TestSupport::HttpsServer::caFile());
    server.setAnswer("/geolocate", json(kAnswer));
    LogWatch log;
    LocationProvider provider(location({{"LocateUrl", server.url("/geolocate")}, {"AddressUrl", server.url("/a")}}),
                              "20.1");
    EXPECT_EQ(read(provider).get(), kUnavailableFrom20_1);
    // libnm's client comes up without devices when NetworkManager is not on the bus.
    EXPECT_TRUE(log.contains("INFO - Found only [0] access points, aborting request for location\n")) << log.text();
    EXPECT_TRUE(log.contains("VERBOSE - Done getting LOCATION request.\n"));
    EXPECT_TRUE(server.requests().empty());
}
