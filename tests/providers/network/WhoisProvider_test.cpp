// WhoisProvider's decoders of the services' answers and its configuration,
// on documents parsed from text; no service is asked.
#include "providers/network/WhoisProvider.h"

#include "support/Categories.h"
#include "support/LogWatch.h"

#include <gtest/gtest.h>

#include <string>

using TestSupport::LogWatch;

namespace {

rapidjson::Document parse(const std::string& text)
{
    rapidjson::Document document;
    document.Parse(text.c_str(), text.size());
    EXPECT_FALSE(document.HasParseError()) << text;
    return document;
}

// A RIPEstat whois answer with the given authorities and records.
rapidjson::Document whoisAnswer(const std::string& authorities, const std::string& records)
{
    return parse(R"({"status":"ok","data":{"authorities":[)" + authorities + R"(],"records":[)" + records +
                 "]}}");
}

std::string entry(const std::string& key, const std::string& value)
{
    return R"({"key":")" + key + R"(","value":")" + value + R"(","details_link":null})";
}

}  // namespace

TEST(WhoisProviderDecode, IpFromRipeAndFromTheOwnService)
{
    LogWatch log;
    EXPECT_EQ(ipFromResponse(parse(R"({"data":{"ip":"198.51.100.23"},"status":"ok"})")), "198.51.100.23");
    EXPECT_TRUE(log.contains("VERBOSE - Parsed ripe IP response [198.51.100.23]\n"));

    EXPECT_EQ(ipFromResponse(parse(R"({"address":"2001:db8::5","data":{"ip":"198.51.100.23"}})")), "2001:db8::5");
    EXPECT_TRUE(log.contains("INFO - Parsed internal IP response [2001:db8::5]\n"));
}

TEST(WhoisProviderDecode, IpRefusesOtherShapesAndAnythingButAnAddress)
{
    for (const char* text : {R"({})", R"({"data":{}})", R"({"data":"198.51.100.23"})", R"({"data":{"ip":17}})",
                             R"({"address":["198.51.100.23"]})", R"({"data":[{"ip":"198.51.100.23"}]})", R"([1,2])",
                             R"("198.51.100.23")", R"(null)"}) {
        EXPECT_FALSE(ipFromResponse(parse(text))) << text;
    }
    // An answer's address is filled into the next URLs: nothing else passes.
    LogWatch log;
    for (const std::string& bad : {std::string("198.51.100.23/../x?resource="), std::string("example.com"),
                                   std::string("198.51.100.23 "), std::string(""), std::string("1.2.3.4\0#x", 9)}) {
        rapidjson::Document document(rapidjson::kObjectType);
        document.AddMember("address", rapidjson::Value(bad.data(), static_cast<rapidjson::SizeType>(bad.size()),
                                                       document.GetAllocator()),
                           document.GetAllocator());
        EXPECT_FALSE(ipFromResponse(document)) << bad;
    }
    EXPECT_TRUE(log.contains("ERROR - Refused IP [example.com] from response: not an IP address\n"));
}

TEST(WhoisProviderDecode, DnsTakesTheFirstName)
{
    EXPECT_EQ(dnsFromResponse(
                  parse(R"({"data":{"result":["host-23.example.net","other.example.net"],"query_time":"x"}})")),
              "host-23.example.net");
}

TEST(WhoisProviderDecode, DnsShapeProblemsAreLogged)
{
    const struct {
        const char* text;
        const char* line;
    } cases[] = {
        {R"({"status":"error"})", "Attempt to decode whois dns from response found no data\n"},
        {R"({"data":["x"]})", "Attempt to decode whois dns from response found no data\n"},
        {R"({"data":{}})", "Attempt to decode whois dns from response found no result\n"},
        {R"({"data":{"result":null}})", "Attempt to decode whois dns from response found no results\n"},
        {R"({"data":{"result":[]}})", "Attempt to decode whois dns from response found no results\n"},
        {R"({"data":{"result":{"0":"x"}}})", "Attempt to decode whois dns from response found no results\n"},
        {R"({"data":{"result":[7,"x"]}})", "Attempt to decode whois dns found non-string dns\n"},
    };
    for (const auto& item : cases) {
        LogWatch log;
        EXPECT_FALSE(dnsFromResponse(parse(item.text))) << item.text;
        EXPECT_TRUE(log.contains(std::string("VERBOSE - ") + item.line)) << item.text;
    }
}

TEST(WhoisProviderDecode, AuthorityIsTheFirstKnownEntryInAnyCase)
{
    const struct {
        const char* authorities;
        int authority;
        const char* line;
    } cases[] = {
        {R"("ARIN")", AuthorityArin, "VERBOSE - ISP response is ARIN\n"},
        {R"("x","Lacnic","ripe")", AuthorityLacnic, "VERBOSE - ISP response is LACNIC\n"},
        {R"(1,"ripe")", AuthorityRipe, "VERBOSE - ISP response is RIPE\n"},
        {R"("apnic")", AuthorityApnic, "VERBOSE - ISP response is APNIC\n"},
        {R"("afrinic","arin")", AuthorityAfrinic, "VERBOSE - ISP response is AFRINIC\n"},
        {R"("iana")", AuthorityNone, "WARNING - ISP response is UNKNOWN\n"},
        {"", AuthorityNone, "WARNING - ISP response is UNKNOWN\n"},
    };
    for (const auto& item : cases) {
        LogWatch log;
        EXPECT_EQ(getInternetNumberAuthorityFromRipeIsp(whoisAnswer(item.authorities, "")), item.authority)
            << item.authorities;
        EXPECT_TRUE(log.contains(item.line)) << item.authorities;
    }
    for (const char* text : {R"({})", R"({"data":{"authorities":"arin"}})", R"({"data":["arin"]})", R"([])"}) {
        EXPECT_EQ(getInternetNumberAuthorityFromRipeIsp(parse(text)), AuthorityNone) << text;
    }
}

TEST(WhoisProviderDecode, IspAndCountryFollowTheAuthority)
{
    const std::string mixed = "[" + entry("OrgName", "Org Inc") + "," + entry("descr", "Descr Net") + "," +
                              entry("owner", "Owner SA") + "," + entry("Country", "US") + "]";
    const std::string lacnicOrder = "[" + entry("owner", "Owner SA") + "," + entry("country", "BR") + "]";
    const struct {
        std::string authorities;
        std::string records;
        const char* isp;
        const char* country;
        const char* line;
    } cases[] = {
        // ARIN names the ISP only by OrgName, whatever its letter case.
        {R"("arin")", mixed, "Org Inc", "US", "VERBOSE - Found ARIN ISP [Org Inc] in record [0,0]\n"},
        // LACNIC: owner too; the later entry replaces the earlier one.
        {R"("lacnic")", mixed, "Owner SA", "US", "VERBOSE - Found LACNIC ISP [Owner SA] in record [0,2]\n"},
        {R"("lacnic")", lacnicOrder, "Owner SA", "BR", "VERBOSE - Found COUNTRY [BR] in record [0,1]\n"},
        {R"("ripe")", mixed, "Descr Net", "US", "VERBOSE - Found ISP [Descr Net] in record [0,1]\n"},
        {R"("apnic")", mixed, "Descr Net", "US", "VERBOSE - Found COUNTRY [US] in record [0,3]\n"},
        {R"("afrinic")", "[" + entry("custname", "Cust Ltd") + "," + entry("country", "ZA") + "]", "Cust Ltd", "ZA",
         "VERBOSE - Found ISP [Cust Ltd] in record [0,0]\n"},
        {"", mixed, "Descr Net", "US", "WARNING - ISP response is UNKNOWN\n"},
    };
    for (const auto& item : cases) {
        LogWatch log;
        const std::optional<Whois> whois = ispCountryFromResponse(whoisAnswer(item.authorities, item.records));
        ASSERT_TRUE(whois) << item.authorities;
        EXPECT_EQ(whois->isp, item.isp) << item.authorities;
        EXPECT_EQ(whois->country, item.country) << item.authorities;
        EXPECT_TRUE(log.contains(item.line)) << item.authorities << "\n" << log.text();
    }
}

TEST(WhoisProviderDecode, TheFirstRecordWithBothDecides)
{
    const std::string records = "[" + entry("country", "NL") + "],[],17,[\"x\",{\"key\":1,\"value\":\"y\"}]," + "[" +
                                entry("descr", "ExampleNet") + "," + entry("country", "GB") + "," +
                                entry("descr", "Later") + "]," + "[" + entry("descr", "Third") + "," +
                                entry("country", "FR") + "]";
    LogWatch log;
    const std::optional<Whois> whois = ispCountryFromResponse(whoisAnswer(R"("ripe")", records));
    ASSERT_TRUE(whois);
    EXPECT_EQ(whois->isp, "ExampleNet");
    EXPECT_EQ(whois->country, "GB");
    EXPECT_TRUE(log.contains("WARNING - Empty record found at index [1]\n"));
    EXPECT_TRUE(log.contains("WARNING - Empty record found at index [2]\n"));
    // The scan of a record stops once both are known.
    EXPECT_FALSE(log.contains("[Later]"));
    EXPECT_FALSE(log.contains("[Third]"));
}

TEST(WhoisProviderDecode, WithoutACompleteRecordThereIsNoResult)
{
    EXPECT_FALSE(ispCountryFromResponse(whoisAnswer(R"("ripe")", "[" + entry("country", "NL") + "]")));
}

TEST(WhoisProviderDecode, IspCountryShapeProblems)
{
    const struct {
        const char* text;
        const char* line;
    } cases[] = {
        {R"({"status":"error","messages":[["error","No such resource"]]})",
         "Attempt to decode whois country and isp from response type [3] found no data\n"},
        {R"({"data":null})", "Attempt to decode whois country and isp from response type [3] found no data\n"},
        {R"([{"data":{}}])", "Attempt to decode whois country and isp from response type [4] found no data\n"},
        {R"({"data":{"authorities":["ripe"]}})",
         "Attempt to decode whois country and isp from response found no records\n"},
        {R"({"data":{"records":[]}})", "Attempt to decode whois country and isp from response found empty records\n"},
        {R"({"data":{"records":{"0":[]}}})",
         "Attempt to decode whois country and isp from response found empty records\n"},
    };
    for (const auto& item : cases) {
        LogWatch log;
        EXPECT_FALSE(ispCountryFromResponse(parse(item.text))) << item.text;
        EXPECT_TRUE(log.contains(std::string("VERBOSE - ") + item.line)) << item.text;
    }
}

TEST(WhoisProviderConfiguration, DefaultsAndConfiguredAddresses)
{
    const WhoisProvider::Configuration defaults = WhoisProvider::configure({});
    EXPECT_EQ(defaults.testIp, "");
    EXPECT_EQ(defaults.providerIpUrl, "https://stat.ripe.net/data/whats-my-ip/data.json");
    EXPECT_EQ(defaults.providerDnsUrl, "https://stat.ripe.net/data/reverse-dns-ip/data.json?resource=%IP%");
    EXPECT_EQ(defaults.providerIspUrl, "https://stat.ripe.net/data/whois/data.json?resource=%IP%");
    EXPECT_EQ(defaults.providerCountryUrl, defaults.providerIspUrl);
    EXPECT_EQ(defaults.alternativeIpUrl, "");

    LogWatch log;
    const WhoisProvider::Configuration configured = WhoisProvider::configure({
        {"TestIp", "203.0.113.7"},
        {"ProviderIpUrl", "https://127.0.0.1:1/ip"},
        {"ProviderDnsUrl", ""},
        {"ProviderIspUrl", "HTTPS://127.0.0.1:1/isp?q=%ip%"},
        {"ProviderCountryUrl", "file:///etc/passwd"},
        {"AlternativeIpUrl", "https://127.0.0.1:1/alt"},
        {"provideripurl", "https://ignored"},
    });
    EXPECT_EQ(configured.testIp, "203.0.113.7");
    EXPECT_EQ(configured.providerIpUrl, "https://127.0.0.1:1/ip");
    EXPECT_EQ(configured.providerDnsUrl, WhoisProvider::kDefaultDnsUrl);
    EXPECT_EQ(configured.providerIspUrl, "HTTPS://127.0.0.1:1/isp?q=%ip%");
    EXPECT_EQ(configured.providerCountryUrl, "file:///etc/passwd");
    EXPECT_EQ(configured.alternativeIpUrl, "https://127.0.0.1:1/alt");
    for (const char* line : {
             "VERBOSE - Test IP is [203.0.113.7]\n",
             "VERBOSE - Provider IP URL is [https://127.0.0.1:1/ip]\n",
             "VERBOSE - Provider DNS URL is []\n",
             "VERBOSE - Provider ISP URL is [HTTPS://127.0.0.1:1/isp?q=%ip%]\n",
             "VERBOSE - Provider Country URL is [file:///etc/passwd]\n",
             "VERBOSE - Alternative IP URL is [https://127.0.0.1:1/alt]\n",
         }) {
        EXPECT_TRUE(log.contains(line)) << line;
    }

    EXPECT_EQ(WhoisProvider::configure({{"TestIp", "203.0.113.7&x=1"}}).testIp, "");
    EXPECT_EQ(WhoisProvider::configure({{"TestIp", "2001:db8::7"}}).testIp, "2001:db8::7");
}

TEST(WhoisProviderRead, NothingSelectedAsksNothing)
{
    LogWatch log;
    WhoisProvider provider(TestSupport::category("Whois", 1, 0x10), "20.1");
    EXPECT_TRUE(provider.getProperties().get().empty());
    EXPECT_TRUE(log.contains("VERBOSE - Done getting WHOIS properties.\n"));
    EXPECT_FALSE(log.contains("Getting url ["));
}
