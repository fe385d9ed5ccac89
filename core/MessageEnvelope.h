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

// Writes the members that name the endpoint: "deviceName", "deviceId",
// "deviceOS", read afresh for every message.
void device(Writer& writer);

// Writes a string with its full length (an embedded NUL becomes \u0000).
void string(Writer& writer, const std::string& text);

}  // namespace MessageEnvelope
