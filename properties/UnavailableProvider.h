// SPDX-License-Identifier: Apache-2.0
// The provider of a category whose own provider cannot run on this endpoint
// (a platform library it needs cannot be loaded): every selected key of the
// category's table with its failure value. Items of a group are left out,
// as are keys whose failure is to be left out.
#pragma once

#include "properties/Provider.h"
#include "properties/PropertyKey.h"

class UnavailableProvider : public Provider {
public:
    UnavailableProvider(std::shared_ptr<Category const> category, const std::string& hostVersion, PropertyKeys keys)
        : Provider(std::move(category), hostVersion), _keys(keys)
    {
    }

    std::future<PropertyMap> getProperties() override;

    // What it reports, for a provider that finds out during a reading that it
    // cannot read: the failure value of every selected key of `keys`.
    static void addFailures(PropertyCollector& properties, PropertyKeys keys);

private:
    PropertyKeys _keys;
};
