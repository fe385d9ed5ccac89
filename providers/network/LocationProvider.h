// SPDX-License-Identifier: Apache-2.0
// Category "Location": the endpoint's geographic position from the Wi-Fi
// access points it can see (Wi-Fi geolocation), and optionally the postal
// address at that position.
//
// A reading asks NetworkManager (through libnm, on the calling thread, which
// must be the library's engine thread) for the visible access points and
// builds a geolocation request. A worker thread posts it to the configured
// location service ("LocateUrl") and then reads the address, either from the
// same answer ("AddressUrl" equal to "LocateUrl") or from the configured
// address service. The first complete result is kept for the life of the
// provider and answered at once from then on.
#pragma once

#include "base/LazyLibrary.h"
#include "properties/Provider.h"

#include <NetworkManager.h>
#include <rapidjson/document.h>

#include <memory>
#include <optional>
#include <string>

// The position a location service reported.
struct Location {
    double latitude = 0.0;
    double longitude = 0.0;
    double accuracy = 0.0;
};

// The postal address at a position; any part may be empty.
struct Address {
    std::string country;
    std::string postcode;
    std::string state;
    std::string county;
    std::string town;
    std::string street;
    std::string building;
};

// The geolocation request from the access points of the first Wi-Fi device
// that sees at least two: {"address": 0|1, "considerIp": false,
// "wifiAccessPoints": [{"macAddress": BSSID, "signalStrength": 0..100}, ...]}.
// False when no device sees two.
bool getLocationRequest(NMClient* client, rapidjson::Document& request, bool addressWanted);

// Posts `request` to `url` and reads the position from the answer, which is
// left in `response`.
std::optional<Location> getLocation(const std::string& url, const rapidjson::Document& request,
                                    rapidjson::Document& response);

// The position in a location service's answer: "location" {"lat", "lng"} and
// a top-level "accuracy", each a number written with a fraction or exponent.
// An answer with an "error" member is a failure.
std::optional<Location> locationFromResponse(const rapidjson::Document& response);

// The address at `location`: decoded from the location answer when both URLs
// are the same, else fetched from `addressUrl` with "%lat%", "%lng%" and
// "%long%" filled in.
std::optional<Address> getAddress(const std::string& addressUrl, const std::string& locateUrl,
                                  const Location& location, rapidjson::Document& locationResponse);

// The address in an answer of either shape: an "address" object
// (OpenStreetMap style) or a "results" list of address components (Google
// style).
std::optional<Address> addressFromResponse(const rapidjson::Document& response);
std::optional<Address> addressFromResponseOne(const rapidjson::Document& response);
std::optional<Address> addressFromResponseTwo(const rapidjson::Document& response);

// The string value of member `name` of `object`; empty when `object` is not
// an object, the member is missing or it is not a string.
std::string safeReadObjectMemberAsString(const rapidjson::Value& object, const std::string& name);

// `value` with `decimals` digits after a point, whatever locale any thread
// or the process has set ("%.4f" in the C locale).
std::string formatDecimal(double value, int decimals);

// The map link of a position.
std::string mapLinkOf(const Location& location);

class LocationProvider : public ProviderOf<LocationProvider> {
public:
    // The platform libraries it calls into: libcurl, and libsystemd (sd-bus)
    // to ask whether NetworkManager runs; libnm (the access points) only once
    // it does (see NetworkManagerBus): where it runs and libnm cannot be
    // loaded, no position can be asked for.
    static constexpr Base::LazyLibrary::Set kLibraries =
        Base::LazyLibrary::bit(Base::LazyLibrary::Curl) | Base::LazyLibrary::bit(Base::LazyLibrary::Systemd);
    static constexpr PropertyKey kKeys[] = {
        {"DEVICE_LOCATION_ACCURACY", 0x4, "radius the position is accurate to", "metres"},
        {"DEVICE_LOCATION_URL", 0x8, "map link of the position"},
        {"DEVICE_LOCATION_PROVIDER", 0x2000, "who located the device: Third Party"},
        {"DEVICE_LOCATION_SOURCE", 0x4000, "what the position was found from: WiFi"},
        {"DEVICE_LOCATION_POSITION", 0x8000, "latitude,longitude", "degrees", "Unavailable", kFrom20_1},
        {"DEVICE_LOCATION_LATITUDE", 0x1, "latitude", "degrees", "Unavailable", kBefore20_1},
        {"DEVICE_LOCATION_LONGITUDE", 0x2, "longitude", "degrees", "Unavailable", kBefore20_1},
        {"DEVICE_LOCATION_COUNTRY", 0x20, "country of the postal address"},
        {"DEVICE_LOCATION_POSTCODE", 0x40, "postcode of the postal address"},
        {"DEVICE_LOCATION_STATE", 0x80, "state of the postal address"},
        {"DEVICE_LOCATION_COUNTY", 0x200, "county of the postal address"},
        {"DEVICE_LOCATION_TOWN", 0x400, "town of the postal address"},
        {"DEVICE_LOCATION_STREET", 0x800, "street of the postal address"},
        {"DEVICE_LOCATION_BUILDING", 0x1000, "building number of the postal address"},
    };
    static constexpr const PropertyKey& kAccuracy = kKeys[0];
    static constexpr const PropertyKey& kUrl = kKeys[1];
    static constexpr const PropertyKey& kProvider = kKeys[2];
    static constexpr const PropertyKey& kSource = kKeys[3];
    static constexpr const PropertyKey& kPosition = kKeys[4];
    static constexpr const PropertyKey& kLatitude = kKeys[5];
    static constexpr const PropertyKey& kLongitude = kKeys[6];
    static constexpr const PropertyKey& kCountry = kKeys[7];
    static constexpr const PropertyKey& kPostcode = kKeys[8];
    static constexpr const PropertyKey& kState = kKeys[9];
    static constexpr const PropertyKey& kCounty = kKeys[10];
    static constexpr const PropertyKey& kTown = kKeys[11];
    static constexpr const PropertyKey& kStreet = kKeys[12];
    static constexpr const PropertyKey& kBuilding = kKeys[13];
    // The keys every host gets from a position, the position itself for
    // hosts from 20.1 on and before, and the postal address.
    static constexpr PropertyKeys kFixKeys{&kAccuracy, &kSource + 1};
    static constexpr PropertyKeys kPositionKeys{&kPosition, &kPosition + 1};
    static constexpr PropertyKeys kLegacyPositionKeys{&kLatitude, &kLongitude + 1};
    static constexpr PropertyKeys kAddressKeys{&kCountry, &kBuilding + 1};

    LocationProvider(std::shared_ptr<Category const> category, const std::string& hostVersion);

    std::future<PropertyMap> getProperties() override;

    void setPropertiesUnavailable(PropertyCollector& properties) const;
    static void setAddressPropertiesUnavailable(PropertyCollector& properties);

private:
    // Whether the host gets the combined position key.
    bool positionCombined() const;
    // Whether the address service is configured and an address key selected.
    bool addressWanted() const;
    // The geolocation request from NetworkManager's access points, built on
    // the calling thread; empty when it cannot be built.
    std::shared_ptr<rapidjson::Document> buildRequest() const;
    // The same from a libnm client made for it, once NetworkManager is known to run.
    std::shared_ptr<rapidjson::Document> requestFromNetworkManager() const;
    void collect(PropertyCollector& properties, const rapidjson::Document* request) const;
    void addLocation(PropertyCollector& properties, const Location& location) const;
    static void addAddress(PropertyCollector& properties, const Address& address);

    std::string _locateUrl;
    std::string _addressUrl;
};
