// SPDX-License-Identifier: Apache-2.0
#include "base/CustomCurlOpt.h"

#include "base/Logging.h"
#include "base/Utilities.h"

#include <stdexcept>

long CustomCurlOpt::getValueALong(std::string name, long defaultValue) const
{
    const std::string value = Utilities::getEnvironmentVariable(name, "");
    if (!value.empty()) {
        TRACE_VERBOSE << "Setting [" << name << "] [" << value << "] from environment." << std::endl;
        try {
            const int number = std::stoi(value);
            // The options are time-outs: a negative one would reach libcurl
            // as an enormous unsigned number.
            if (number >= 0) {
                return number;
            }
            TRACE_ERROR << "Specified value is out of range. " << name << ": [" << value << "]" << std::endl;
        } catch (const std::invalid_argument&) {
            TRACE_ERROR << "Failed to parse value. " << name << ": [" << value << "]" << std::endl;
        } catch (const std::out_of_range&) {
            TRACE_ERROR << "Specified value is out of range. " << name << ": [" << value << "]" << std::endl;
        }
    }
    TRACE_VERBOSE << "Setting [" << name << "] as default value [" << defaultValue << "]." << std::endl;
    return defaultValue;
}
