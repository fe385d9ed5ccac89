// SPDX-License-Identifier: Apache-2.0
#include "providers/network/WhoisProvider.h"

#include "base/Logging.h"
#include "base/SignalStack.h"
#include "base/Utilities.h"
#include "base/WebRequest.h"

#include <arpa/inet.h>

#include <exception>
#include <future>
#include <initializer_list>
#include <iostream>
#include <utility>

namespace {

constexpr const char* kIpPlaceholder = "%IP%";

// One GET of a JSON document on a thread of its own.
struct JsonRequest {
    rapidjson::Document document;
    std::future<bool> done;
};

void startRequest(const std::string& url, JsonRequest& request)
{
    try {
        request.done = std::async(std::launch::async, [&url, &request] {
            const Base::SignalStack stack;
            TRACE_FUNCTION("startRequest");
            try {
                return WebRequest::getJson(url, request.document);
            } catch (const std::exception& error) {
                TRACE_ERROR << "Request to [" << url << "] failed with exception [" << error.what() << "]"
                            << std::endl;
            } catch (...) {
                TRACE_ERROR << "Request to [" << url << "] failed with an unknown exception" << std::endl;
            }
            return false;
        });
    } catch (const std::exception& error) {
        TRACE_ERROR << "Failed to start request to [" << url << "] error [" << error.what() << "]" << std::endl;
        request.done = Provider::ready(false);
    }
}

// Waits for a request; true when it succeeded and its document is an object.
bool objectFrom(JsonRequest& request)
{
    if (!request.done.valid()) {
        return false;
    }
    return request.done.get() && request.document.IsObject();
}

std::string textOf(const rapidjson::Value& value)
{
    return std::string(value.GetString(), value.GetStringLength());
}

// The member `name` of `value` when `value` is an object that has it, else null.
const rapidjson::Value* member(const rapidjson::Value& value, const char* name)
{
    if (!value.IsObject()) {
        return nullptr;
    }
    const auto found = value.FindMember(name);
    return found != value.MemberEnd() ? &found->value : nullptr;
}

// The string member `name` of `value`, when there is one.
bool stringMember(const rapidjson::Value& value, const char* name, std::string& text)
{
    const rapidjson::Value* found = member(value, name);
    if (found == nullptr || !found->IsString()) {
        return false;
    }
    text = textOf(*found);
    return true;
}

// A configured service address. Its scheme is checked where requests are
// made: anything but http and https is refused there, never replaced by a
// default service the host did not ask for.
void configureUrl(const std::map<std::string, std::string>& config, const char* key, const char* logName,
                  std::string& url)
{
    const auto found = config.find(key);
    if (found == config.end()) {
        return;
    }
    TRACE_FUNCTION("configure");
    TRACE_VERBOSE << logName << " is [" << found->second << "]" << std::endl;
    url = found->second;
}

}  // namespace

bool isIpAddressText(const std::string& text)
{
    if (text.find('\0') != std::string::npos) {
        return false;
    }
    unsigned char address[sizeof(in6_addr)];
    return inet_pton(AF_INET, text.c_str(), address) == 1 || inet_pton(AF_INET6, text.c_str(), address) == 1;
}

WhoisProvider::Configuration WhoisProvider::configure(const std::map<std::string, std::string>& config)
{
    Configuration configuration;
    if (const auto found = config.find("TestIp"); found != config.end()) {
        TRACE_VERBOSE << "Test IP is [" << found->second << "]" << std::endl;
        if (found->second.empty() || isIpAddressText(found->second)) {
            configuration.testIp = found->second;
        } else {
            TRACE_ERROR << "Test IP [" << found->second << "] is not an IP address, ignored" << std::endl;
        }
    }
    configureUrl(config, "ProviderIpUrl", "Provider IP URL", configuration.providerIpUrl);
    configureUrl(config, "ProviderDnsUrl", "Provider DNS URL", configuration.providerDnsUrl);
    configureUrl(config, "ProviderIspUrl", "Provider ISP URL", configuration.providerIspUrl);
    configureUrl(config, "ProviderCountryUrl", "Provider Country URL", configuration.providerCountryUrl);
    configureUrl(config, "AlternativeIpUrl", "Alternative IP URL", configuration.alternativeIpUrl);

    if (configuration.providerIpUrl.empty()) {
        configuration.providerIpUrl = kDefaultIpUrl;
    }
    if (configuration.providerDnsUrl.empty()) {
        configuration.providerDnsUrl = kDefaultDnsUrl;
    }
    if (configuration.providerIspUrl.empty()) {
        configuration.providerIspUrl = kDefaultIspUrl;
    }
    if (configuration.providerCountryUrl.empty()) {
        configuration.providerCountryUrl = kDefaultIspUrl;
    }
    return configuration;
}

WhoisProvider::WhoisProvider(std::shared_ptr<Category const> category, const std::string& hostVersion)
    : ProviderOf(std::move(category), hostVersion),
      _configuration(std::make_shared<const Configuration>(configure(this->category()->config)))
{
}

std::future<PropertyMap> WhoisProvider::getProperties()
{
    return std::async(std::launch::async, [configuration = _configuration, kept = kept(), category = category()] {
        const Base::SignalStack stack;
        return work(*configuration, *kept, *category);
    });
}

PropertyMap WhoisProvider::work(const Configuration& configuration, KeptReading& kept, const Category& category)
{
    TRACE_VERBOSE << "Getting WHOIS properties..." << std::endl;
    if (std::optional<PropertyMap> reading = kept.get()) {
        TRACE_VERBOSE << "Done getting WHOIS properties." << std::endl;
        return std::move(*reading);
    }

    PropertyCollector properties(category);
    if (properties.anySelected(kKeys)) {
        const std::optional<std::string> ip =
            !configuration.testIp.empty() ? configuration.testIp
                                          : getIp(configuration.providerIpUrl, configuration.alternativeIpUrl);
        if (!ip) {
            properties.unavailable(kKeys);
        } else {
            properties.add(kIp, *ip);
            const Whois whois =
                getWhois(*ip, properties.selected(kDns) ? configuration.providerDnsUrl : std::string(),
                         properties.selected(kIsp) ? configuration.providerIspUrl : std::string(),
                         properties.selected(kCountry) ? configuration.providerCountryUrl : std::string());
            properties.add(kDns, [&] { return PropertyCollector::orUnavailable(whois.dns); });
            properties.add(kIsp, [&] { return PropertyCollector::orUnavailable(whois.isp); });
            properties.add(kCountry, [&] { return PropertyCollector::orUnavailable(whois.country); });
        }
    }

    PropertyMap reading = kept.keep(properties.take());
    TRACE_VERBOSE << "Done getting WHOIS properties." << std::endl;
    return reading;
}

std::optional<std::string> getIp(const std::string& providerUrl, const std::string& alternativeUrl)
{
    JsonRequest provider;
    JsonRequest alternative;
    const bool askProvider = !providerUrl.empty();
    const bool askAlternative = !alternativeUrl.empty() && alternativeUrl != providerUrl;
    if (askProvider) {
        startRequest(providerUrl, provider);
    } else {
        provider.done = Provider::ready(false);
    }
    if (askAlternative) {
        startRequest(alternativeUrl, alternative);
    } else {
        alternative.done = Provider::ready(false);
    }
    // Both are waited for before anything is decided, so no request outlives
    // the documents it writes.
    provider.done.wait();
    alternative.done.wait();

    const bool providerSucceeded = provider.done.get();
    if (providerSucceeded && provider.document.IsObject()) {
        if (std::optional<std::string> ip = ipFromResponse(provider.document)) {
            return ip;
        }
        TRACE_VERBOSE << "Failed to parse IP from provider [" << providerUrl << "]" << std::endl;
    } else {
        TRACE_VERBOSE << "Failed to determine IP from invalid response from provider [" << providerUrl << "]"
                      << std::endl;
    }

    if (!askAlternative) {
        TRACE_VERBOSE << "No alternative IP source to ask" << std::endl;
        return std::nullopt;
    }
    const bool alternativeSucceeded = alternative.done.get();
    if (alternativeSucceeded && alternative.document.IsObject()) {
        if (std::optional<std::string> ip = ipFromResponse(alternative.document)) {
            return ip;
        }
        TRACE_VERBOSE << "Failed to parse IP from alternative [" << alternativeUrl << "]" << std::endl;
    } else {
        TRACE_VERBOSE << "Failed to determine IP from invalid response from alternative [" << alternativeUrl << "]"
                      << std::endl;
    }
    return std::nullopt;
}

Whois getWhois(const std::string& ip, const std::string& dnsUrl, const std::string& ispUrl,
               const std::string& countryUrl)
{
    const bool askDns = !dnsUrl.empty();
    const bool askIsp = !ispUrl.empty() && ispUrl != dnsUrl;
    const bool askCountry = !countryUrl.empty() && countryUrl != ispUrl && countryUrl != dnsUrl;

    // The URLs with the address filled in; they live until every request ended.
    std::string dnsRequestUrl = dnsUrl;
    std::string ispRequestUrl = ispUrl;
    std::string countryRequestUrl = countryUrl;
    JsonRequest dns;
    JsonRequest isp;
    JsonRequest country;
    const auto start = [&ip](bool ask, std::string& url, JsonRequest& request) {
        if (ask) {
            WebRequest::replaceArgument(url, kIpPlaceholder, ip);
            startRequest(url, request);
        } else {
            request.done = Provider::ready(false);
        }
    };
    start(askDns, dnsRequestUrl, dns);
    start(askIsp, ispRequestUrl, isp);
    start(askCountry, countryRequestUrl, country);
    for (JsonRequest* request : {&dns, &isp, &country}) {
        request->done.wait();
    }

    Whois whois;
    const auto takeIspCountry = [&whois](const rapidjson::Document& document) {
        if (const std::optional<Whois> found = ispCountryFromResponse(document)) {
            whois.isp = found->isp;
            whois.country = found->country;
        }
    };
    if (objectFrom(dns)) {
        whois.dns = dnsFromResponse(dns.document).value_or("");
        if (ispUrl == dnsUrl || countryUrl == dnsUrl) {
            takeIspCountry(dns.document);
        }
    }
    if (objectFrom(isp)) {
        takeIspCountry(isp.document);
    }
    if (objectFrom(country)) {
        whois.country.clear();
        takeIspCountry(country.document);
    }
    return whois;
}

std::optional<std::string> ipFromResponse(const rapidjson::Document& response)
{
    std::string ip;
    bool internal = false;
    if (stringMember(response, "address", ip)) {
        internal = true;
    } else {
        const rapidjson::Value* data = member(response, "data");
        if (data == nullptr || !stringMember(*data, "ip", ip)) {
            return std::nullopt;
        }
    }
    // The address is filled into the next requests' URLs: only an address will do.
    if (!isIpAddressText(ip)) {
        TRACE_ERROR << "Refused IP [" << ip << "] from response: not an IP address" << std::endl;
        return std::nullopt;
    }
    if (internal) {
        TRACE_INFO << "Parsed internal IP response [" << ip << "]" << std::endl;
    } else {
        TRACE_VERBOSE << "Parsed ripe IP response [" << ip << "]" << std::endl;
    }
    return ip;
}

std::optional<std::string> dnsFromResponse(const rapidjson::Document& response)
{
    const rapidjson::Value* data = member(response, "data");
    if (data == nullptr || !data->IsObject()) {
        TRACE_VERBOSE << "Attempt to decode whois dns from response found no data" << std::endl;
        return std::nullopt;
    }
    const rapidjson::Value* result = member(*data, "result");
    if (result == nullptr) {
        TRACE_VERBOSE << "Attempt to decode whois dns from response found no result" << std::endl;
        return std::nullopt;
    }
    if (!result->IsArray() || result->Empty()) {
        TRACE_VERBOSE << "Attempt to decode whois dns from response found no results" << std::endl;
        return std::nullopt;
    }
    const rapidjson::Value& first = (*result)[0];
    if (!first.IsString()) {
        TRACE_VERBOSE << "Attempt to decode whois dns found non-string dns" << std::endl;
        return std::nullopt;
    }
    return textOf(first);
}

int getInternetNumberAuthorityFromRipeIsp(const rapidjson::Document& response)
{
    const rapidjson::Value* data = member(response, "data");
    const rapidjson::Value* authorities = data != nullptr ? member(*data, "authorities") : nullptr;
    if (authorities != nullptr && authorities->IsArray()) {
        for (const rapidjson::Value& authority : authorities->GetArray()) {
            if (!authority.IsString()) {
                continue;
            }
            const std::string name = Utilities::tolower(textOf(authority));
            if (name == "arin") {
                TRACE_VERBOSE << "ISP response is ARIN" << std::endl;
                return AuthorityArin;
            }
            if (name == "ripe") {
                TRACE_VERBOSE << "ISP response is RIPE" << std::endl;
                return AuthorityRipe;
            }
            if (name == "apnic") {
                TRACE_VERBOSE << "ISP response is APNIC" << std::endl;
                return AuthorityApnic;
            }
            if (name == "afrinic") {
                TRACE_VERBOSE << "ISP response is AFRINIC" << std::endl;
                return AuthorityAfrinic;
            }
            if (name == "lacnic") {
                TRACE_VERBOSE << "ISP response is LACNIC" << std::endl;
                return AuthorityLacnic;
            }
        }
    }
    TRACE_WARNING << "ISP response is UNKNOWN" << std::endl;
    return AuthorityNone;
}

std::optional<Whois> ispCountryFromResponse(const rapidjson::Document& response)
{
    const rapidjson::Value* data = member(response, "data");
    if (data == nullptr || !data->IsObject()) {
        TRACE_VERBOSE << "Attempt to decode whois country and isp from response type [" << response.GetType()
                      << "] found no data" << std::endl;
        return std::nullopt;
    }
    const rapidjson::Value* records = member(*data, "records");
    if (records == nullptr) {
        TRACE_VERBOSE << "Attempt to decode whois country and isp from response found no records" << std::endl;
        return std::nullopt;
    }
    if (!records->IsArray() || records->Empty()) {
        TRACE_VERBOSE << "Attempt to decode whois country and isp from response found empty records" << std::endl;
        return std::nullopt;
    }

    const int authority = getInternetNumberAuthorityFromRipeIsp(response);
    const auto isIspKey = [authority](const std::string& key) {
        if (authority == AuthorityArin) {
            return key == "orgname";
        }
        if (authority == AuthorityLacnic) {
            return key == "descr" || key == "custname" || key == "owner";
        }
        return key == "descr" || key == "custname";
    };
    const char* ispLabel = authority == AuthorityArin     ? "Found ARIN ISP ["
                           : authority == AuthorityLacnic ? "Found LACNIC ISP ["
                                                          : "Found ISP [";

    rapidjson::SizeType recordIndex = 0;
    for (const rapidjson::Value& record : records->GetArray()) {
        const rapidjson::SizeType index = recordIndex++;
        if (!record.IsArray() || record.Empty()) {
            TRACE_WARNING << "Empty record found at index [" << index << "]" << std::endl;
            continue;
        }
        std::string country;
        std::string isp;
        rapidjson::SizeType entryIndex = 0;
        for (const rapidjson::Value& entry : record.GetArray()) {
            const rapidjson::SizeType at = entryIndex++;
            std::string key;
            std::string value;
            if (!stringMember(entry, "key", key) || !stringMember(entry, "value", value)) {
                continue;
            }
            key = Utilities::tolower(key);
            if (key == "country") {
                country = value;
                TRACE_VERBOSE << "Found COUNTRY [" << value << "] in record [" << index << "," << at << "]"
                              << std::endl;
            } else if (isIspKey(key)) {
                isp = value;
                TRACE_VERBOSE << ispLabel << value << "] in record [" << index << "," << at << "]" << std::endl;
            }
            if (!country.empty() && !isp.empty()) {
                break;
            }
        }
        if (!country.empty() && !isp.empty()) {
            return Whois{"", isp, country};
        }
    }
    return std::nullopt;
}
