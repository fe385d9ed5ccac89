#include "core/MessageEnvelope.h"

#include "providers/device/NameProvider.h"
#include "providers/device/OSProvider.h"

#include <ctime>

namespace MessageEnvelope {

void string(Writer& writer, const std::string& text)
{
    writer.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
}

void device(Writer& writer)
{
    writer.Key("deviceName");
    string(writer, NameProvider::getDeviceName());
    writer.Key("deviceId");
    string(writer, NameProvider::getDeviceId());
    writer.Key("deviceOS");
    string(writer, OSProvider::getDeviceOS());
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
