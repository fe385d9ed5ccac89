// SPDX-License-Identifier: Apache-2.0
// Packets as the host frames them (type, total length and encoding as little-endian 32-bit fields, then the payload;
// `length` overrides the total).
#pragma once
#include <cstdint>
#include <string>
namespace TestSupport {
inline std::string packet(const std::string& payload, uint32_t type = 1, uint32_t length = 0, uint32_t encoding = 1)
{
    std::string bytes;
    for (const uint32_t field : {type, length != 0 ? length : static_cast<uint32_t>(payload.size() + 12), encoding}) {
        for (int shift = 0; shift < 32; shift += 8) { bytes += static_cast<char>(field >> shift); }
    }
    return bytes + payload;
}

// The host's Initialise, the start of the core's answer and the version in it.
inline const std::string kInitialise =
    R"({"id":"Initialize","data":{"propertyCheckInterval":60000,"properties":[{"name":"Corvane","status":2}]}})";
inline const std::string kAnswerStart = R"({"id":"initializeDeviceProperties")";
#ifdef CVCLIENT_VERSION
inline const std::string kVersionPair = R"(["DEVICE_CORVANE_VERSION",")" CVCLIENT_VERSION R"("])";
#endif
}  // namespace TestSupport
