// SPDX-License-Identifier: Apache-2.0
#include "providers/user/UserProvider.h"

#include "base/Logging.h"
#include "providers/user/AccountDatabase.h"
#include "providers/user/LoginRecords.h"
#include "providers/device/OSDetect.h"
#include "providers/user/UserIdentity.h"

#include <unistd.h>

#include <iostream>
#include <optional>

namespace {

// The group that makes its members local administrators whatever its name.
constexpr gid_t kAdministratorGroup = 27;

const char* boolText(bool value)
{
    return value ? "true" : "false";
}

std::string getUserLocalAdminProperty(const char* name, gid_t group)
{
    TRACE_FUNCTION("getUserLocalAdminProperty");
    const std::optional<std::vector<gid_t>> groups = AccountDatabase::groupList(name, group);
    if (!groups) {
        // Membership that cannot be read counts as administrator.
        return "true";
    }
    for (const gid_t member : *groups) {
        if (member == kAdministratorGroup) {
            return "true";
        }
        const std::optional<std::string> groupName = AccountDatabase::groupName(member);
        if (groupName) {
            TRACE_VERBOSE << "User is a member of the group [" << *groupName << "] gid [" << member << "]"
                          << std::endl;
            if (*groupName == "admin" || *groupName == "system") {
                return "true";
            }
        }
    }
    return "false";
}

}  // namespace

std::future<PropertyMap> UserProvider::getProperties()
{
    // The first reading loads the account databases' modules.
    return deferredAfterFirst([](PropertyCollector& properties) {
        TRACE_FUNCTION("getProperties");
        TRACE_VERBOSE << "Getting USER properties..." << std::endl;
        const std::optional<AccountDatabase::Account> account = AccountDatabase::account(geteuid());
        if (!account) {
            properties.unavailable(kKeys);
        } else {
            // The login records are only read when a key that comes from them is selected.
            std::optional<UserIdentity> identity;
            auto user = [&]() -> const UserIdentity& {
                if (!identity) {
                    std::optional<std::string> users;
                    if (OSDetect::IsIgel()) {
                        users = LoginRecords::read();
                    }
                    identity = users ? UserIdentity::fromUserList(*users)
                                     : UserIdentity::fromAccountName(account->name);
                }
                return *identity;
            };
            properties.add(kName, [&] { return user().name; });
            properties.add(kDomain, [&] { return user().domain; });
            properties.add(kDomainDns, [&] { return user().dnsDomain; });
            properties.add(kDomainLogon, [&] { return std::string(boolText(user().domainLogon)); });
            properties.add(kLocalAdmin,
                           [&] { return getUserLocalAdminProperty(account->name.c_str(), account->group); });
        }
        TRACE_VERBOSE << "Done getting USER properties." << std::endl;
    });
}

void UserProvider::monitorForChanges(const ChangeCallback& callback)
{
    watchChanges({.files = {LoginRecords::kFile}}, callback);
}
