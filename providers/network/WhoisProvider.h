// SPDX-License-Identifier: Apache-2.0
// Category "Whois": public IP address, reverse name, ISP and country, from
// public JSON web services (by default the RIPEstat data API).
//
// Every read runs on a thread of its own. The first reading that yields a
// non-empty map is kept and returned by every later read of the provider, so
// the public IP is looked up once per connection.
#pragma once

#include "base/LazyLibrary.h"
#include "properties/Provider.h"

#include <rapidjson/document.h>

#include <map>
#include <memory>
#include <optional>
#include <string>

// The result of a whois lookup.
struct Whois {
    std::string dns;
    std::string isp;
    std::string country;
};

// The registry that holds an address, as the RIPEstat whois answer names it.
enum InternetNumberAuthority : int {
    AuthorityNone = 0,
    AuthorityAfrinic = 1,
    AuthorityApnic = 2,
    AuthorityArin = 3,
    AuthorityLacnic = 4,
    AuthorityRipe = 5,
};

class WhoisProvider : public ProviderOf<WhoisProvider> {
public:
    // The platform libraries it calls into: libcurl.
    static constexpr Base::LazyLibrary::Set kLibraries = Base::LazyLibrary::bit(Base::LazyLibrary::Curl);
    static constexpr PropertyKey kKeys[] = {
        {"DEVICE_WHOIS_IP", 0x1, "public IP address the device reaches the internet from"},
        {"DEVICE_WHOIS_DNS", 0x2, "reverse DNS name of the public address"},
        {"DEVICE_WHOIS_ISP", 0x4, "internet service provider holding the public address"},
        {"DEVICE_WHOIS_COUNTRY", 0x8, "country the public address is registered in"},
    };
    static constexpr const PropertyKey& kIp = kKeys[0];
    static constexpr const PropertyKey& kDns = kKeys[1];
    static constexpr const PropertyKey& kIsp = kKeys[2];
    static constexpr const PropertyKey& kCountry = kKeys[3];

    // The defaults of the service addresses. There is no default for the
    // alternative IP source: it is asked only when configured.
    static constexpr const char* kDefaultIpUrl = "https://stat.ripe.net/data/whats-my-ip/data.json";
    static constexpr const char* kDefaultDnsUrl = "https://stat.ripe.net/data/reverse-dns-ip/data.json?resource=%IP%";
    static constexpr const char* kDefaultIspUrl = "https://stat.ripe.net/data/whois/data.json?resource=%IP%";

    // The category's configuration: "TestIp", "ProviderIpUrl",
    // "ProviderDnsUrl", "ProviderIspUrl", "ProviderCountryUrl" and
    // "AlternativeIpUrl". A URL that is missing, empty or not an https://
    // address takes its default; a test IP that is not an address is ignored.
    struct Configuration {
        std::string testIp;
        std::string providerIpUrl;
        std::string providerDnsUrl;
        std::string providerIspUrl;
        std::string providerCountryUrl;
        std::string alternativeIpUrl;
    };
    static Configuration configure(const std::map<std::string, std::string>& config);

    WhoisProvider(std::shared_ptr<Category const> category, const std::string& hostVersion);

    std::future<PropertyMap> getProperties() override;

    const Configuration& configuration() const { return *_configuration; }

private:
    static PropertyMap work(const Configuration& configuration, KeptReading& kept, const Category& category);

    // Shared with the worker threads, so a worker never outlives what it uses.
    std::shared_ptr<const Configuration> _configuration;
};

// True when `text` is an IPv4 or IPv6 address in text form and nothing else.
bool isIpAddressText(const std::string& text);

// The public IP address from the provider's service, else from the
// alternative one; both are asked at the same time. An empty URL, or an
// alternative equal to the provider's, is not asked.
std::optional<std::string> getIp(const std::string& providerUrl, const std::string& alternativeUrl);

// Reverse name, ISP and country of `ip`, asked in parallel from the URLs that
// are not empty, each with its first "%IP%" replaced by `ip`; what no answer
// gave is empty.
Whois getWhois(const std::string& ip, const std::string& dnsUrl, const std::string& ispUrl,
               const std::string& countryUrl);

// Decoders of the services' answers. Every shape problem gives none (or
// AuthorityNone) with a log line; no answer, however malformed, is read
// without checking its type first.
std::optional<std::string> ipFromResponse(const rapidjson::Document& response);
std::optional<std::string> dnsFromResponse(const rapidjson::Document& response);
// ISP and country (`dns` empty) of the first record that names both.
std::optional<Whois> ispCountryFromResponse(const rapidjson::Document& response);
int getInternetNumberAuthorityFromRipeIsp(const rapidjson::Document& response);
