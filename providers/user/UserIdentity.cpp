// SPDX-License-Identifier: Apache-2.0
#include "providers/user/UserIdentity.h"

#include <algorithm>
#include <cctype>

namespace {

bool isSpace(char c)
{
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// The first blank-separated entry of a list.
std::string firstEntry(const std::string& list)
{
    const auto begin = std::find_if_not(list.begin(), list.end(), isSpace);
    const auto end = std::find_if(begin, list.end(), isSpace);
    return std::string(begin, end);
}

}  // namespace

UserIdentity UserIdentity::fromUserList(const std::string& users)
{
    const std::string entry = firstEntry(users);
    UserIdentity identity;
    const std::size_t at = entry.find('@');
    if (at == std::string::npos) {
        identity.name = entry;
        return identity;
    }
    identity.name = entry.substr(0, at);
    const std::string rest = entry.substr(at + 1);
    identity.domain = rest.substr(0, rest.find_first_of("@."));
    identity.dnsDomain = rest.substr(0, rest.find('@'));
    identity.domainLogon = true;
    return identity;
}

UserIdentity UserIdentity::fromAccountName(const std::string& account)
{
    UserIdentity identity;
    const std::size_t backslash = account.find('\\');
    if (backslash == std::string::npos) {
        identity.name = account;
        return identity;
    }
    identity.name = account.substr(backslash + 1);
    const std::string domainPart = account.substr(0, backslash);
    const std::size_t dot = domainPart.find('.');
    identity.domain = domainPart.substr(0, dot);
    identity.dnsDomain = dot == std::string::npos ? std::string() : domainPart.substr(dot + 1);
    identity.domainLogon = true;
    return identity;
}
