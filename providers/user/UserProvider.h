// Category "User": the logged-on user, its domain and group membership.
#pragma once

#include "properties/Provider.h"

class UserProvider : public ProviderOf<UserProvider> {
public:
    static constexpr PropertyKey kName{"DEVICE_USER_NAME", 0x01};
    static constexpr PropertyKey kDomain{"DEVICE_USER_NAME_DOMAIN", 0x02};
    static constexpr PropertyKey kDomainDns{"DEVICE_USER_NAME_DOMAIN_DNS", 0x04};
    static constexpr PropertyKey kDomainLogon{"DEVICE_USER_DOMAINLOGON", 0x80};
    static constexpr PropertyKey kLocalAdmin{"DEVICE_USER_LOCALADMIN", 0x40};

    // The logged-in user list of IGEL OS.
    static constexpr const char* kUserListProgram = "/usr/bin/users";

    using ProviderOf::ProviderOf;

    std::future<PropertyMap> getProperties() override;
};
