// SPDX-License-Identifier: Apache-2.0
// Category "User": the logged-on user, its domain and group membership.
#pragma once

#include "properties/Provider.h"

class UserProvider : public ProviderOf<UserProvider> {
public:
    static constexpr PropertyKey kKeys[] = {
        {"DEVICE_USER_NAME", 0x01, "name of the logged-on user"},
        {"DEVICE_USER_NAME_DOMAIN", 0x02, "domain of the user"},
        {"DEVICE_USER_NAME_DOMAIN_DNS", 0x04, "DNS name of the user's domain"},
        {"DEVICE_USER_DOMAINLOGON", 0x80, "whether the user logged on to a domain", "true/false"},
        {"DEVICE_USER_LOCALADMIN", 0x40, "whether the user administers the device", "true/false"},
    };
    static constexpr const PropertyKey& kName = kKeys[0];
    static constexpr const PropertyKey& kDomain = kKeys[1];
    static constexpr const PropertyKey& kDomainDns = kKeys[2];
    static constexpr const PropertyKey& kDomainLogon = kKeys[3];
    static constexpr const PropertyKey& kLocalAdmin = kKeys[4];

    using ProviderOf::ProviderOf;

    std::future<PropertyMap> getProperties() override;
    // A session starting or ending rewrites the login records.
    void monitorForChanges(const ChangeCallback& callback) override;
};
