// SPDX-License-Identifier: Apache-2.0
// Who is logged on, as the two sources write it: the logged-in user list
// writes a domain logon as user@domain, the account database as
// DOMAIN\user. Both are plain text rules, kept apart from the system.
#pragma once

#include <string>

struct UserIdentity {
    std::string name;       // user name without domain
    std::string domain;     // short domain name, empty when none
    std::string dnsDomain;  // DNS domain name, empty when none
    bool domainLogon = false;

    // From the output of the logged-in user list ("users"). The list names
    // one entry per session; the first entry is the user reported. In
    // jdoe@corp.example.com the domain is "corp" and the DNS domain
    // "corp.example.com".
    static UserIdentity fromUserList(const std::string& users);

    // From an account name. In corp.example.com\jdoe the domain is "corp" and
    // the DNS domain "example.com".
    static UserIdentity fromAccountName(const std::string& account);

    bool operator==(const UserIdentity&) const = default;
};
