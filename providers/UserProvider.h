// Category "User": the logged-on user, its domain and group membership.
#pragma once

#include "properties/Provider.h"

class UserProvider : public ProviderOf<UserProvider> {
public:
    using ProviderOf::ProviderOf;

    std::future<PropertyMap> getProperties() override;
};
