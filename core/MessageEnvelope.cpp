// SPDX-License-Identifier: Apache-2.0
#include "core/MessageEnvelope.h"

#include <ctime>

namespace MessageEnvelope {

void string(Writer& writer, const std::string& text)
{
    writer.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
}

void device(Writer& writer, const Device& device)
{
    writer.Key("deviceName");
    string(writer, device.name);
    writer.Key("deviceId");
    string(writer, device.id);
    writer.Key("deviceOS");
    string(writer, device.os);
}

void begin(Writer& writer, const std::string& id, uint32_t index)
{
    writer.StartObject();
    writer.Key("id");
    string(writer, id);
    writer.Key("index");
    writer.Uint(index);
    writer.Key("version");
    writer.Int(1);

    char time[100];
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    localtime_r(&now, &parts);
    const std::size_t length = std::strftime(time, sizeof(time), "%c", &parts);
    if (length > 0) {
        writer.Key("time");
        writer.String(time, static_cast<rapidjson::SizeType>(length));
    }
    writer.Key("data");
}

}  // namespace MessageEnvelope
