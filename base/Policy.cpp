// SPDX-License-Identifier: Apache-2.0
#include "base/Policy.h"

#include "base/Descriptor.h"
#include "base/GObjectHandle.h"
#include "base/Utilities.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <glib.h>
#include <netinet/in.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

namespace Base {
namespace {

using KeyFileHandle = UniqueHandle<GKeyFile, g_key_file_free>;
using StringListHandle = UniqueHandle<gchar*, g_strfreev>;

// A policy file is a few lines; anything larger is not one.
constexpr std::size_t kMaximumBytes = 64 * 1024;

const std::map<std::string, std::set<std::string>>& knownKeys()
{
    static const std::map<std::string, std::set<std::string>> keys{
        {"categories", {"deny", "allow"}},
        {"web", {"allow-hosts", "deny-local-addresses", "send-access-points"}},
    };
    return keys;
}

// The items of a list value, split at ';' and ',', trimmed, empty ones dropped.
std::vector<std::string> itemsOf(const std::string& value)
{
    std::vector<std::string> items;
    std::string item;
    for (const char c : value + ";") {
        if (c == ';' || c == ',') {
            Utilities::trim(item);
            if (!item.empty()) {
                items.push_back(item);
            }
            item.clear();
        } else {
            item += c;
        }
    }
    return items;
}

std::string joined(const std::vector<std::string>& items)
{
    std::string text;
    for (const std::string& item : items) {
        text += (text.empty() ? "" : ", ") + item;
    }
    return text;
}

std::string normalisedHost(std::string host)
{
    host = Utilities::tolower(host);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    if (!host.empty() && host.back() == '.') {
        host.pop_back();
    }
    return host;
}

bool isLocalIPv4(uint32_t address)
{
    const auto in = [address](uint32_t network, int prefix) {
        return (address >> (32 - prefix)) == (network >> (32 - prefix));
    };
    return in(0x00000000, 8) || in(0x7F000000, 8) || in(0x0A000000, 8) || in(0xAC100000, 12) ||
           in(0xC0A80000, 16) || in(0xA9FE0000, 16);
}

}  // namespace

Policy Policy::restrictive(const std::string& source, const std::string& problem)
{
    Policy policy;
    policy._source = source;
    policy._problem = problem;
    policy._allowHosts.emplace();
    policy._noWebCategories = true;
    return policy;
}

Policy Policy::parse(const std::string& text, const std::string& source, const std::vector<std::string>& categories)
{
    const KeyFileHandle file(g_key_file_new());
    GError* raw = nullptr;
    if (!g_key_file_load_from_data(file.get(), text.data(), text.size(), G_KEY_FILE_NONE, &raw)) {
        const GErrorHandle error(raw);
        return restrictive(source, error ? error->message : "not a key file");
    }
    // Every group and key must be known: a misspelt one would otherwise
    // allow silently what it was meant to forbid.
    const StringListHandle groups(g_key_file_get_groups(file.get(), nullptr));
    for (gchar** group = groups.get(); group != nullptr && *group != nullptr; ++group) {
        const auto known = knownKeys().find(*group);
        if (known == knownKeys().end()) {
            return restrictive(source, std::string("unknown group [") + *group + "]");
        }
        const StringListHandle keys(g_key_file_get_keys(file.get(), *group, nullptr, nullptr));
        for (gchar** key = keys.get(); key != nullptr && *key != nullptr; ++key) {
            if (known->second.count(*key) == 0) {
                return restrictive(source, std::string("unknown key [") + *key + "] in [" + *group + "]");
            }
        }
    }
    Policy policy;
    policy._source = source;
    std::string problem;
    const auto value = [&](const char* group, const char* key) -> std::optional<std::string> {
        if (!g_key_file_has_key(file.get(), group, key, nullptr)) {
            return std::nullopt;
        }
        const UniqueHandle<gchar, g_free> read(g_key_file_get_string(file.get(), group, key, nullptr));
        return read ? std::string(read.get()) : std::string();
    };
    const auto categoryList = [&](const char* key) -> std::optional<std::vector<std::string>> {
        const std::optional<std::string> read = value("categories", key);
        if (!read) {
            return std::nullopt;
        }
        std::vector<std::string> names;
        for (const std::string& item : itemsOf(*read)) {
            const auto known = std::find_if(categories.begin(), categories.end(), [&](const std::string& name) {
                return Utilities::tolower(name) == Utilities::tolower(item);
            });
            if (known == categories.end()) {
                problem = "unknown category [" + item + "] in [categories] " + key;
                return std::nullopt;
            }
            names.push_back(*known);
        }
        return names;
    };
    const auto flag = [&](const char* key, bool& target) {
        const std::optional<std::string> read = value("web", key);
        if (!read) {
            return;
        }
        std::string word = *read;
        word = Utilities::tolower(Utilities::trim(word));
        if (word == "true" || word == "1") {
            target = true;
        } else if (word == "false" || word == "0") {
            target = false;
        } else {
            problem = "[web] " + std::string(key) + " is [" + *read + "], not true or false";
        }
    };
    policy._allowCategories = categoryList("allow");
    policy._denyCategories = categoryList("deny").value_or(std::vector<std::string>{});
    if (const std::optional<std::string> hosts = value("web", "allow-hosts")) {
        policy._allowHosts.emplace();
        for (const std::string& host : itemsOf(*hosts)) {
            policy._allowHosts->push_back(normalisedHost(host));
        }
    }
    flag("deny-local-addresses", policy._denyLocalAddresses);
    flag("send-access-points", policy._sendAccessPoints);
    return problem.empty() ? policy : restrictive(source, problem);
}

Policy Policy::read(const std::string& path, const std::vector<std::string>& categories)
{
    // Without blocking on a FIFO or a device put in the file's place.
    const Descriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!file) {
        if (errno == ENOENT || errno == ENOTDIR) {
            return {};
        }
        return restrictive(path, std::strerror(errno));
    }
    struct stat info {};
    if (fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return restrictive(path, "not a regular file");
    }
    const std::optional<std::string> text = Utilities::readDescriptor(file.get(), kMaximumBytes);
    if (!text) {
        return restrictive(path, std::strerror(errno));
    }
    if (text->size() > kMaximumBytes) {
        return restrictive(path, "larger than 64 KiB");
    }
    return parse(*text, path, categories);
}

namespace {
std::mutex installedMutex;
std::shared_ptr<const Policy> installed;
}  // namespace

std::shared_ptr<const Policy> Policy::inForce()
{
    const std::lock_guard<std::mutex> lock(installedMutex);
    if (!installed) {
        static const auto none = std::make_shared<const Policy>();
        return none;
    }
    return installed;
}

void Policy::install(const Policy& policy)
{
    const std::lock_guard<std::mutex> lock(installedMutex);
    if (!installed) {
        installed = std::make_shared<const Policy>(policy);
    }
}

bool Policy::allowsCategory(const std::string& name, bool makesWebRequests) const
{
    if (makesWebRequests && _noWebCategories) {
        return false;
    }
    const auto among = [&name](const std::vector<std::string>& names) {
        return std::find(names.begin(), names.end(), name) != names.end();
    };
    return (!_allowCategories || among(*_allowCategories)) && !among(_denyCategories);
}

bool Policy::allowsHost(const std::string& host) const
{
    const std::string wanted = normalisedHost(host);
    if (wanted.empty()) {
        return false;
    }
    if (!_allowHosts) {
        return true;
    }
    return std::any_of(_allowHosts->begin(), _allowHosts->end(), [&wanted](const std::string& allowed) {
        if (allowed.rfind("*.", 0) == 0) {
            const std::string suffix = allowed.substr(1);
            return wanted.size() > suffix.size() &&
                   wanted.compare(wanted.size() - suffix.size(), suffix.size(), suffix) == 0;
        }
        return wanted == allowed;
    });
}

bool Policy::refusesAddress(const sockaddr* address, socklen_t length) const
{
    return _denyLocalAddresses && isLocalAddress(address, length);
}

bool Policy::isLocalAddress(const sockaddr* address, socklen_t length)
{
    if (address == nullptr) {
        return true;
    }
    if (address->sa_family == AF_INET && length >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
        return isLocalIPv4(ntohl(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr));
    }
    if (address->sa_family != AF_INET6 || length < static_cast<socklen_t>(sizeof(sockaddr_in6))) {
        return true;  // nothing else is a web service's address
    }
    const in6_addr& ip = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
    const unsigned char* b = ip.s6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&ip) || IN6_IS_ADDR_V4COMPAT(&ip)) {
        const uint32_t v4 = (uint32_t{b[12]} << 24) | (uint32_t{b[13]} << 16) | (uint32_t{b[14]} << 8) | b[15];
        return isLocalIPv4(v4) || IN6_IS_ADDR_V4COMPAT(&ip);
    }
    return IN6_IS_ADDR_UNSPECIFIED(&ip) || IN6_IS_ADDR_LOOPBACK(&ip) || (b[0] & 0xFE) == 0xFC ||  // fc00::/7
           (b[0] == 0xFE && (b[1] & 0xC0) == 0x80) ||                                              // fe80::/10
           (b[0] == 0xFE && (b[1] & 0xC0) == 0xC0);                                                // fec0::/10
}

std::string Policy::describe() const
{
    if (!present()) {
        return "none";
    }
    if (!_problem.empty()) {
        return _source + ": unreadable (" + _problem + "): no web requests, no categories that make them";
    }
    std::vector<std::string> parts;
    if (_allowCategories) {
        parts.push_back("allow only " +
                        (_allowCategories->empty() ? std::string("no category") : joined(*_allowCategories)));
    }
    if (!_denyCategories.empty()) {
        parts.push_back("deny " + joined(_denyCategories));
    }
    if (_allowHosts) {
        parts.push_back("web hosts " + (_allowHosts->empty() ? std::string("none") : joined(*_allowHosts)));
    }
    if (_denyLocalAddresses) {
        parts.push_back("no local addresses");
    }
    if (!_sendAccessPoints) {
        parts.push_back("no access points sent");
    }
    std::string text;
    for (const std::string& part : parts) {
        text += (text.empty() ? "" : "; ") + part;
    }
    return _source + ": " + (text.empty() ? "no restrictions" : text);
}

}  // namespace Base
