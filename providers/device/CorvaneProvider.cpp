// SPDX-License-Identifier: Apache-2.0
#include "providers/device/CorvaneProvider.h"

#include "base/Logging.h"

#include <iostream>

std::future<PropertyMap> CorvaneProvider::getProperties()
{
    return deferred([](PropertyCollector& properties) {
        TRACE_FUNCTION("getProperties");
        TRACE_VERBOSE << "Getting CORVANE properties..." << std::endl;
        properties.add(kVersion, CVCLIENT_VERSION);
        TRACE_VERBOSE << "Done getting CORVANE properties." << std::endl;
    });
}
