#include "core/IdentityData.h"

#include "base/Logging.h"

#include <iostream>

std::atomic<uint32_t> IdentityData::sMessageIndex{0};

IdentityData::IdentityData(const MessageEnvelope::Device& device)
    : _buffer(nullptr, MessageEnvelope::kInitialCapacity)
{
    TRACE_ENTER;
    MessageEnvelope::Writer writer(_buffer);
    MessageEnvelope::begin(writer, "identity", sMessageIndex.fetch_add(1, std::memory_order_relaxed));
    writer.StartObject();
    MessageEnvelope::device(writer, device);
    writer.Key("clientVersion");
    writer.String(CVCLIENT_VERSION);
    writer.EndObject();
    TRACE_VERBOSE << "Persisting identity to memory..." << std::endl;
    writer.EndObject();
    TRACE_EXIT;
}
