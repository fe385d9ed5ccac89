// SPDX-License-Identifier: Apache-2.0
// The envelope every outbound message shares: "id", "index", "version",
// "time", then the body that the caller writes into "data".
#pragma once

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdint>
#include <string>

namespace MessageEnvelope {

using Buffer = rapidjson::StringBuffer;
using Writer = rapidjson::Writer<Buffer>;

constexpr std::size_t kInitialCapacity = 256;

// Writes the envelope up to and including the key "data"; the caller writes
// the body object and then closes the envelope with writer.EndObject().
void begin(Writer& writer, const std::string& id, uint32_t index);

// The endpoint as every message names it; its owner reads it once.
struct Device {
    std::string name;
    std::string id;
    std::string os;
};

// Writes the members that name the endpoint: "deviceName", "deviceId",
// "deviceOS".
void device(Writer& writer, const Device& device);

// Writes a string with its full length (an embedded NUL becomes \u0000).
void string(Writer& writer, const std::string& text);

}  // namespace MessageEnvelope
