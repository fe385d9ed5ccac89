// SPDX-License-Identifier: Apache-2.0
// Numeric libcurl options that the environment may override.
#pragma once

#include <string>

class CustomCurlOpt {
public:
    // The value of the environment variable `name` as a decimal number in the
    // range of int; `defaultValue` when the variable is unset or empty, and
    // (with an ERROR line) when it holds no number, a number outside that
    // range, or a negative one.
    long getValueALong(std::string name, long defaultValue) const;
};
