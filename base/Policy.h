// SPDX-License-Identifier: Apache-2.0
// The endpoint owner's policy, /etc/cvclient/policy.conf (a GLib key file),
// read once at the first connection of a process:
//
//     [categories]
//     deny=Location;Whois          (or allow=Name;OS: only these)
//     [web]
//     allow-hosts=geo.example.com;*.example.net
//     deny-local-addresses=true
//     send-access-points=false
//
// No file is no restriction at all. A file that cannot be read or parsed, or
// that names a group, key or category the library does not know, is read in
// the most restrictive sensible way: every category allowed that makes no web
// request, and no web request at all. Lists take ';' or ',' between items.
#pragma once

#include <sys/socket.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Base {

class Policy {
public:
    static constexpr const char* kPath = "/etc/cvclient/policy.conf";

    // No policy: everything allowed, as without a file.
    Policy() = default;

    // The policy written in `text`, read from `source`; `categories` are the
    // category names the library knows (names in the file are matched to them
    // without regard to case). Touches nothing outside.
    static Policy parse(const std::string& text, const std::string& source, const std::vector<std::string>& categories);
    // The policy of the file at `path`: none when there is no file.
    static Policy read(const std::string& path, const std::vector<std::string>& categories);

    // The policy of the process: the one installed at the first connection,
    // else none. install() keeps only its first policy.
    static std::shared_ptr<const Policy> inForce();
    static void install(const Policy& policy);

    bool present() const { return !_source.empty(); }
    const std::string& source() const { return _source; }
    // Why the file was read restrictively; empty when it was understood.
    const std::string& problem() const { return _problem; }

    // Whether a category of this name may be served; `makesWebRequests` for
    // the categories that reach web services.
    bool allowsCategory(const std::string& name, bool makesWebRequests) const;
    // Whether a request to `host` (a URL's host part, IPv6 with or without
    // brackets) may be made: exact names, or "*.example.com" for any name
    // ending in ".example.com"; without regard to case or a final dot.
    bool allowsHost(const std::string& host) const;
    bool restrictsHosts() const { return _allowHosts.has_value(); }
    bool deniesLocalAddresses() const { return _denyLocalAddresses; }
    bool sendsAccessPoints() const { return _sendAccessPoints; }

    // A connection to this address is refused: loopback, private (RFC 1918,
    // unique-local IPv6), link-local or unspecified, when the policy says so.
    bool refusesAddress(const sockaddr* address, socklen_t length) const;
    // True for those addresses, IPv4 ones mapped into IPv6 included.
    static bool isLocalAddress(const sockaddr* address, socklen_t length);

    // "deny Location, Whois; web hosts geo.example.com; ..." or "no restrictions".
    std::string describe() const;

private:
    static Policy restrictive(const std::string& source, const std::string& problem);

    std::string _source;
    std::string _problem;
    std::optional<std::vector<std::string>> _allowCategories;
    std::vector<std::string> _denyCategories;
    std::optional<std::vector<std::string>> _allowHosts;
    bool _denyLocalAddresses = false;
    bool _sendAccessPoints = true;
    bool _noWebCategories = false;
};

}  // namespace Base
