// SPDX-License-Identifier: Apache-2.0
#include "providers/network/LocationProvider.h"

#include "base/EngineThread.h"
#include "base/GObjectHandle.h"
#include "base/Logging.h"
#include "base/Policy.h"
#include "base/WebRequest.h"
#include "providers/network/NetworkManagerBus.h"

#include <glib.h>

#include <charconv>
#include <cmath>
#include <exception>
#include <iostream>

namespace {

// A member of a JSON object, or null when `object` is not an object or has
// no member of that name. Every read of an answer goes through this, so an
// answer of unexpected shape is never read as if it had the expected one.
const rapidjson::Value* memberOf(const rapidjson::Value& object, const char* name)
{
    if (!object.IsObject()) {
        return nullptr;
    }
    const auto member = object.FindMember(name);
    return member != object.MemberEnd() ? &member->value : nullptr;
}

std::string stringOf(const rapidjson::Value& value)
{
    return std::string(value.GetString(), value.GetStringLength());
}

// `text` followed by ", " and `more`, or `more` alone when `text` is empty.
void append(std::string& text, const std::string& more)
{
    if (!text.empty()) {
        text += ", ";
    }
    text += more;
}

// One coordinate of the answer's "location" object: it must be a number
// written with a fraction or exponent.
bool readCoordinate(const rapidjson::Value& location, const char* name, const char* what, double& value)
{
    TRACE_FUNCTION("getLocation");
    const rapidjson::Value* member = memberOf(location, name);
    if (member == nullptr) {
        TRACE_WARNING << "Location " << what << " was unavailable" << std::endl;
        return false;
    }
    if (!member->IsDouble()) {
        TRACE_WARNING << "Location " << what << " was not a double" << std::endl;
        return false;
    }
    value = member->GetDouble();
    return true;
}

}  // namespace

std::string formatDecimal(double value, int decimals)
{
    // std::to_chars never consults a locale: the separator is always a point.
    char text[512];
    const auto [end, error] = std::to_chars(text, text + sizeof(text), value, std::chars_format::fixed, decimals);
    if (error != std::errc()) {
        return PropertyCollector::kUnavailable;
    }
    return std::string(text, end);
}

std::string mapLinkOf(const Location& location)
{
    // OpenStreetMap's marker parameters put a pin at the position; the
    // fragment centres the map there at street level.
    const std::string latitude = formatDecimal(location.latitude, 4);
    const std::string longitude = formatDecimal(location.longitude, 4);
    return "https://www.openstreetmap.org/?mlat=" + latitude + "&mlon=" + longitude + "#map=17/" + latitude + "/" +
           longitude;
}

std::string safeReadObjectMemberAsString(const rapidjson::Value& object, const std::string& name)
{
    if (!object.IsObject()) {
        return "";
    }
    const rapidjson::Value key(rapidjson::StringRef(name.data(), name.size()));
    const auto member = object.FindMember(key);
    if (member == object.MemberEnd() || !member->value.IsString()) {
        return "";
    }
    return stringOf(member->value);
}

bool getLocationRequest(NMClient* client, rapidjson::Document& request, bool addressWanted)
{
    TRACE_ENTER;
    rapidjson::Document::AllocatorType& allocator = request.GetAllocator();
    rapidjson::Value accessPoints(rapidjson::kArrayType);
    const GPtrArray* devices = nm_client_get_devices(client);
    for (guint i = 0; devices != nullptr && i < devices->len; ++i) {
        auto* device = static_cast<NMDevice*>(g_ptr_array_index(devices, i));
        if (nm_device_get_device_type(device) != NM_DEVICE_TYPE_WIFI || !NM_IS_DEVICE_WIFI(device)) {
            continue;
        }
        const GPtrArray* seen = nm_device_wifi_get_access_points(NM_DEVICE_WIFI(device));
        if (seen == nullptr || seen->len < 2) {
            continue;
        }
        for (guint j = 0; j < seen->len; ++j) {
            auto* accessPoint = static_cast<NMAccessPoint*>(g_ptr_array_index(seen, j));
            const char* bssid = nm_access_point_get_bssid(accessPoint);
            const std::string macAddress = bssid != nullptr ? bssid : "";
            const unsigned int strength = nm_access_point_get_strength(accessPoint);
            TRACE_INFO << "BSSID [" << macAddress << "] has strength [" << strength << "]" << std::endl;
            rapidjson::Value entry(rapidjson::kObjectType);
            entry.AddMember("macAddress", rapidjson::Value(macAddress.c_str(), allocator), allocator);
            entry.AddMember("signalStrength", rapidjson::Value(strength), allocator);
            accessPoints.PushBack(entry, allocator);
        }
        break;
    }
    if (accessPoints.Empty()) {
        TRACE_INFO << "Found only [" << accessPoints.Size() << "] access points, aborting request for location"
                   << std::endl;
        TRACE_EXIT;
        return false;
    }
    request.SetObject();
    request.AddMember("address", rapidjson::Value(addressWanted ? 1U : 0U), allocator);
    request.AddMember("considerIp", false, allocator);
    request.AddMember("wifiAccessPoints", accessPoints, allocator);
    TRACE_EXIT;
    return true;
}

// Logs the service's error object when the answer has one; true then.
bool loggedServiceError(const rapidjson::Document& response)
{
    TRACE_FUNCTION("getLocation");
    const rapidjson::Value* error = memberOf(response, "error");
    if (error == nullptr) {
        return false;
    }
    const rapidjson::Value* code = memberOf(*error, "code");
    TRACE_ERROR << "Location request failed with error [" << safeReadObjectMemberAsString(*error, "message")
                << "] code [" << (code != nullptr && code->IsInt() ? code->GetInt() : 0) << "]" << std::endl;
    return true;
}

std::optional<Location> locationFromResponse(const rapidjson::Document& response)
{
    TRACE_FUNCTION("getLocation");
    if (loggedServiceError(response)) {
        return std::nullopt;
    }
    const rapidjson::Value* position = memberOf(response, "location");
    if (position == nullptr) {
        TRACE_WARNING << "Location was unavailable" << std::endl;
        return std::nullopt;
    }
    if (!position->IsObject()) {
        TRACE_WARNING << "Location was not an object" << std::endl;
        return std::nullopt;
    }
    Location read;
    if (!readCoordinate(*position, "lat", "latitude", read.latitude) ||
        !readCoordinate(*position, "lng", "longitude", read.longitude) ||
        !readCoordinate(response, "accuracy", "accuracy", read.accuracy)) {
        return std::nullopt;
    }
    // A position off the globe, or a negative accuracy, is no position.
    if (!std::isfinite(read.latitude) || !std::isfinite(read.longitude) || !std::isfinite(read.accuracy) ||
        std::fabs(read.latitude) > 90.0 || std::fabs(read.longitude) > 180.0 || read.accuracy < 0.0) {
        TRACE_WARNING << "Location [" << read.latitude << "," << read.longitude << "] with accuracy ["
                      << read.accuracy << "] is out of range" << std::endl;
        return std::nullopt;
    }
    return read;
}

std::optional<Location> getLocation(const std::string& url, const rapidjson::Document& request,
                                    rapidjson::Document& response)
{
    TRACE_ENTER;
    if (!WebRequest::postJson(url, request, response)) {
        // A service that refuses says why in its answer.
        loggedServiceError(response);
        TRACE_VERBOSE << "Location request failed" << std::endl;
        TRACE_EXIT;
        return std::nullopt;
    }
    std::optional<Location> location = locationFromResponse(response);
    TRACE_EXIT;
    return location;
}

std::optional<Address> addressFromResponseOne(const rapidjson::Document& response)
{
    const rapidjson::Value* found = memberOf(response, "address");
    if (found == nullptr) {
        TRACE_VERBOSE << "Attempt to decode location from response one found no address" << std::endl;
        return std::nullopt;
    }
    if (!found->IsObject()) {
        TRACE_VERBOSE << "Attempt to decode location from response one found address that was not an object"
                      << std::endl;
        return std::nullopt;
    }
    Address read;
    read.country = safeReadObjectMemberAsString(*found, "country");
    read.postcode = safeReadObjectMemberAsString(*found, "postcode");
    read.state = safeReadObjectMemberAsString(*found, "state");
    read.street = safeReadObjectMemberAsString(*found, "road");
    for (const char* name : {"city", "town", "village"}) {
        const std::string part = safeReadObjectMemberAsString(*found, name);
        if (!part.empty()) {
            append(read.town, part);
        }
    }
    read.building = safeReadObjectMemberAsString(*found, "building");
    if (read.building.empty()) {
        read.building = safeReadObjectMemberAsString(*found, "house_number");
    }
    return read;
}

std::optional<Address> addressFromResponseTwo(const rapidjson::Document& response)
{
    const rapidjson::Value* results = memberOf(response, "results");
    if (results == nullptr) {
        TRACE_VERBOSE << "Attempt to decode location from response two found no results" << std::endl;
        return std::nullopt;
    }
    if (!results->IsArray()) {
        TRACE_VERBOSE << "Attempt to decode location from response two found results that was not an array"
                      << std::endl;
        return std::nullopt;
    }
    Address read;
    const rapidjson::Value* components = results->Empty() ? nullptr : memberOf((*results)[0], "address_components");
    if (components != nullptr && components->IsArray()) {
        for (const rapidjson::Value& component : components->GetArray()) {
            const rapidjson::Value* types = memberOf(component, "types");
            if (types == nullptr || !types->IsArray()) {
                continue;
            }
            for (const rapidjson::Value& type : types->GetArray()) {
                if (!type.IsString()) {
                    continue;
                }
                const std::string kind = stringOf(type);
                const std::string name = safeReadObjectMemberAsString(component, "long_name");
                if (kind == "post_box" || kind == "postal_code") {
                    read.postcode = name;
                } else if (kind == "administrative_area_level_1") {
                    read.state = name;
                } else if (kind == "administrative_area_level_2" || kind == "administrative_area_level_3" ||
                           kind == "administrative_area_level_4" || kind == "administrative_area_level_5") {
                    append(read.county, name);
                } else if (kind == "locality" || kind == "postal_town") {
                    read.town = name;
                } else if (kind == "route") {
                    read.street = name;
                } else if (kind == "subpremise" || kind == "premise" || kind == "establishment" ||
                           kind == "street_number") {
                    append(read.building, name);
                } else if (kind == "country") {
                    read.country = name;
                }
            }
        }
    }
    return read;
}

std::optional<Address> addressFromResponse(const rapidjson::Document& response)
{
    if (std::optional<Address> address = addressFromResponseOne(response)) {
        return address;
    }
    return addressFromResponseTwo(response);
}

std::optional<Address> getAddress(const std::string& addressUrl, const std::string& locateUrl,
                                  const Location& location, rapidjson::Document& locationResponse)
{
    if (addressUrl.empty()) {
        return std::nullopt;
    }
    if (addressUrl == locateUrl) {
        return addressFromResponse(locationResponse);
    }
    const std::string latitude = formatDecimal(location.latitude, 6);
    const std::string longitude = formatDecimal(location.longitude, 6);
    std::string url = addressUrl;
    WebRequest::replaceArgument(url, "%lat%", latitude);
    WebRequest::replaceArgument(url, "%lng%", longitude);
    WebRequest::replaceArgument(url, "%long%", longitude);
    rapidjson::Document response;
    if (!WebRequest::getJson(url, response)) {
        return std::nullopt;
    }
    return addressFromResponse(response);
}

LocationProvider::LocationProvider(std::shared_ptr<Category const> category, const std::string& hostVersion)
    : ProviderOf(std::move(category), hostVersion)
{
    const auto& config = this->category()->config;
    if (const auto locate = config.find("LocateUrl"); locate != config.end()) {
        _locateUrl = locate->second;
        TRACE_VERBOSE << "Location URL is [" << _locateUrl << "]" << std::endl;
    }
    if (const auto address = config.find("AddressUrl"); address != config.end()) {
        _addressUrl = address->second;
        TRACE_VERBOSE << "Address URL is [" << _addressUrl << "]" << std::endl;
    }
}

bool LocationProvider::positionCombined() const
{
    return hostAtLeast(20, 1);
}

bool LocationProvider::addressWanted() const
{
    return !_addressUrl.empty() && PropertyCollector(*category()).anySelected(kAddressKeys);
}

void LocationProvider::setPropertiesUnavailable(PropertyCollector& properties) const
{
    properties.unavailable(kFixKeys);
    properties.unavailable(positionCombined() ? kPositionKeys : kLegacyPositionKeys);
    setAddressPropertiesUnavailable(properties);
}

void LocationProvider::setAddressPropertiesUnavailable(PropertyCollector& properties)
{
    properties.unavailable(kAddressKeys);
}

std::future<PropertyMap> LocationProvider::getProperties()
{
    if (std::optional<PropertyMap> reading = kept()->get()) {
        return ready(std::move(*reading));
    }
    // The request is nothing but the access points: when the owner's policy
    // keeps them on the endpoint, nothing is asked and nothing is sent.
    const bool accessPointsKept = !Base::Policy::inForce()->sendsAccessPoints();
    if (accessPointsKept) {
        TRACE_INFO << "Location sends no access points: the policy [" << Base::Policy::inForce()->source()
                   << "] keeps them" << std::endl;
    }
    if (_locateUrl.empty() || accessPointsKept) {
        return atOnce([this](PropertyCollector& properties) {
            setPropertiesUnavailable(properties);
            kept()->keep(properties.properties());
        });
    }
    TRACE_VERBOSE << "Getting LOCATION request..." << std::endl;
    // Each reading has its own request, handed to its worker: two workers
    // may run at once while no reading is kept yet.
    std::shared_ptr<const rapidjson::Document> request = buildRequest();
    return asynchronous([this, request](PropertyCollector& properties) { collect(properties, request.get()); });
}

std::shared_ptr<rapidjson::Document> LocationProvider::buildRequest() const
{
    TRACE_FUNCTION("getProperties");
    // libnm's client belongs to the engine thread's main context.
    if (!Base::EngineThread::isCurrent()) {
        TRACE_ERROR << "Unable to determine LOCATION since properties not requested from within glib main context"
                    << std::endl;
        return nullptr;
    }
    // The lines are those of libnm's client: one that cannot connect without
    // a system bus, one that sees no access points without NetworkManager.
    std::shared_ptr<rapidjson::Document> request;
    std::string why;
    const NetworkManagerBus::Presence presence = NetworkManagerBus::ask(why);
    if (presence == NetworkManagerBus::Presence::NoSystemBus) {
        TRACE_ERROR << "Failed to connect to network manager with error [" << why << "]" << std::endl;
    } else if (presence == NetworkManagerBus::Presence::NoOwner) {
        TRACE_INFO << "Found only [0] access points, aborting request for location" << std::endl;
    } else if (Base::LazyLibrary::requireFor(category()->name,
                                             Base::LazyLibrary::bit(Base::LazyLibrary::NetworkManager))) {
        request = requestFromNetworkManager();
    }
    TRACE_VERBOSE << "Done getting LOCATION request." << std::endl;
    return request;
}

std::shared_ptr<rapidjson::Document> LocationProvider::requestFromNetworkManager() const
{
    auto request = std::make_shared<rapidjson::Document>();
    request->SetObject();
    bool built = false;
    GError* raw = nullptr;
    const Base::GObjectHandle<NMClient> client(nm_client_new(nullptr, &raw));
    const Base::GErrorHandle error(raw);
    if (client) {
        built = getLocationRequest(client.get(), *request, addressWanted());
    } else if (error) {
        TRACE_ERROR << "Failed to connect to network manager with error [" << error->message << "]" << std::endl;
    } else {
        TRACE_ERROR << "Failed to connect to network manager" << std::endl;
    }
    return built ? request : nullptr;
}

void LocationProvider::collect(PropertyCollector& properties, const rapidjson::Document* request) const
{
    TRACE_FUNCTION("getProperties");
    TRACE_VERBOSE << "Getting LOCATION properties..." << std::endl;
    try {
        rapidjson::Document response;
        const std::optional<Location> location =
            request != nullptr ? getLocation(_locateUrl, *request, response) : std::nullopt;
        if (!location) {
            setPropertiesUnavailable(properties);
        } else {
            addLocation(properties, *location);
            // Without a selected address key the address service is not asked.
            if (addressWanted()) {
                if (const std::optional<Address> address = getAddress(_addressUrl, _locateUrl, *location, response)) {
                    addAddress(properties, *address);
                } else {
                    setAddressPropertiesUnavailable(properties);
                }
            }
        }
    } catch (const std::exception& exception) {
        // Nothing is kept from a reading that broke off: the next one tries again.
        TRACE_ERROR << "Failed to get LOCATION properties: " << exception.what() << std::endl;
        setPropertiesUnavailable(properties);
        return;
    }
    kept()->keep(properties.properties());
    TRACE_VERBOSE << "Done getting LOCATION properties." << std::endl;
}

void LocationProvider::addLocation(PropertyCollector& properties, const Location& location) const
{
    properties.add(kAccuracy, [&] { return formatDecimal(location.accuracy, 1); });
    properties.add(kUrl, [&] { return mapLinkOf(location); });
    properties.add(kProvider, "Third Party");
    properties.add(kSource, "WiFi");
    if (positionCombined()) {
        properties.add(kPosition,
                       [&] { return formatDecimal(location.latitude, 4) + "," + formatDecimal(location.longitude, 4); });
    } else {
        properties.add(kLatitude, [&] { return formatDecimal(location.latitude, 4); });
        properties.add(kLongitude, [&] { return formatDecimal(location.longitude, 4); });
    }
}

void LocationProvider::addAddress(PropertyCollector& properties, const Address& address)
{
    properties.add(kCountry, address.country);
    properties.add(kPostcode, address.postcode);
    properties.add(kState, address.state);
    properties.add(kCounty, address.county);
    properties.add(kTown, address.town);
    properties.add(kStreet, address.street);
    properties.add(kBuilding, address.building);
}
