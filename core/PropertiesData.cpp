// SPDX-License-Identifier: Apache-2.0
#include "core/PropertiesData.h"

#include "base/Logging.h"

#include <iostream>

std::atomic<uint32_t> PropertiesData::sMessageIndex{0};

PropertiesData::PropertiesData(const MessageEnvelope::Device& device, const std::string& type,
                               const PropertyMap& updated, const std::vector<std::string>& removed)
    : _buffer(nullptr, MessageEnvelope::kInitialCapacity)
{
    TRACE_ENTER;
    MessageEnvelope::Writer writer(_buffer);
    MessageEnvelope::begin(writer, type, sMessageIndex.fetch_add(1, std::memory_order_relaxed));
    writer.StartObject();
    MessageEnvelope::device(writer, device);
    writer.Key("multihopCount");
    writer.Int(0);
    TRACE_VERBOSE << "Adding updated [" << updated.size() << "] removed [" << removed.size() << "]" << std::endl;
    writer.Key("updated");
    writer.StartArray();
    for (const auto& [key, value] : updated) {
        writer.StartArray();
        MessageEnvelope::string(writer, key);
        MessageEnvelope::string(writer, value);
        writer.EndArray();
    }
    writer.EndArray();
    writer.Key("removed");
    writer.StartArray();
    for (const std::string& key : removed) {
        MessageEnvelope::string(writer, key);
    }
    writer.EndArray();
    writer.EndObject();
    TRACE_VERBOSE << "Persisting to memory..." << std::endl;
    writer.EndObject();
    TRACE_EXIT;
}
