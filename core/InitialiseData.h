// SPDX-License-Identifier: Apache-2.0
// The host's Initialise message: requested categories, check interval and the
// host's software version.
#pragma once

#include "properties/Category.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class InitialiseData {
public:
    explicit InitialiseData(const std::string& text);

    bool hasError() const { return _error; }
    int32_t getPropertyCheckInterval() const { return _propertyCheckInterval; }
    std::string getHostVersion() const { return _hostVersion; }
    const std::vector<std::shared_ptr<Category const>>& getCategories() const { return _categories; }

private:
    bool _error = false;
    int32_t _propertyCheckInterval = 60000;
    std::string _hostVersion;
    std::vector<std::shared_ptr<Category const>> _categories;
};
