// SPDX-License-Identifier: Apache-2.0
// The property message ("initializeDeviceProperties" / "updateDeviceProperties"),
// serialised completely by the constructor.
#pragma once

#include "core/MessageEnvelope.h"
#include "properties/PropertyMap.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

class PropertiesData {
public:
    PropertiesData(const MessageEnvelope::Device& device, const std::string& type, const PropertyMap& updated,
                   const std::vector<std::string>& removed);

    PropertiesData(const PropertiesData&) = delete;
    PropertiesData& operator=(const PropertiesData&) = delete;

    const char* text() const { return _buffer.GetString(); }
    std::size_t length() const { return _buffer.GetSize(); }

    // Process-wide message counter, shared by every connection.
    static std::atomic<uint32_t> sMessageIndex;

private:
    MessageEnvelope::Buffer _buffer;
};
