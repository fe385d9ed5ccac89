// The identity message: the endpoint's name, id, OS and the library version.
#pragma once

#include "core/MessageEnvelope.h"

#include <atomic>
#include <cstdint>

class IdentityData {
public:
    explicit IdentityData(const MessageEnvelope::Device& device);

    IdentityData(const IdentityData&) = delete;
    IdentityData& operator=(const IdentityData&) = delete;

    const char* text() const { return _buffer.GetString(); }
    std::size_t length() const { return _buffer.GetSize(); }

    static std::atomic<uint32_t> sMessageIndex;

private:
    MessageEnvelope::Buffer _buffer;
};
