// SPDX-License-Identifier: Apache-2.0
// The providers of one connection: reads them all, merges their readings,
// remembers the last one and computes what changed.
#pragma once

#include "properties/Category.h"
#include "properties/PropertyMap.h"
#include "properties/Provider.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

class Properties {
public:
    Properties();

    void initialise(const std::vector<std::shared_ptr<Category const>>& categories, const std::string& hostVersion);
    PropertyMap readAllProperties() const;
    PropertyMap getProperties();
    PropertyChanges getChanges();
    void monitorForChanges(const Provider::ChangeCallback& callback);
    void shutdown();

private:
    std::vector<std::pair<std::shared_ptr<Category const>, std::shared_ptr<Provider>>> _providers;
    PropertyMap _properties;
    bool _monitoring = false;
};
