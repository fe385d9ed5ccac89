// SPDX-License-Identifier: Apache-2.0
#include "providers/power/PowerProvider.h"

#include "base/Logging.h"
#include "base/SdBus.h"

#include <cstdint>
#include <iostream>
#include <optional>
#include <string_view>
#include <vector>

namespace {

// UPower's device types and battery states, as its log words.
constexpr uint32_t kLinePower = 1;
constexpr uint32_t kBattery = 2;
constexpr uint32_t kDischarging = 2;
constexpr const char* kKinds[] = {"unknown", "line-power", "battery", "ups", "monitor", "mouse", "keyboard",
                                  "pda", "phone", "media-player", "tablet", "computer", "gaming-input", "pen",
                                  "touchpad", "modem", "network", "headset", "speakers", "headphones", "video",
                                  "other-audio", "remote-control", "printer", "scanner", "camera", "wearable",
                                  "toy", "bluetooth-generic"};
constexpr const char* kStates[] = {"unknown", "charging", "discharging", "empty", "fully-charged",
                                   "pending-charge", "pending-discharge"};

template <std::size_t N>
const char* word(const char* const (&words)[N], uint32_t value)
{
    return value < N ? words[value] : "unknown";
}

// The object paths of UPower's devices; nothing when UPower does not answer.
std::optional<std::vector<std::string>> listDevices(const Base::SdBus& bus)
{
    Base::SdBusError error;
    sd_bus_message* raw = nullptr;
    if (sd_bus_call_method(bus.get(), UPower::kService, UPower::kManager, UPower::kService, "EnumerateDevices",
                           error.get(), &raw, "") < 0) {
        return std::nullopt;
    }
    const Base::UniqueHandle<sd_bus_message, sd_bus_message_unref> reply(raw);
    if (sd_bus_message_enter_container(reply.get(), SD_BUS_TYPE_ARRAY, "o") < 0) {
        return std::nullopt;
    }
    std::vector<std::string> paths;
    const char* path = nullptr;
    while (sd_bus_message_read(reply.get(), "o", &path) > 0) {
        paths.emplace_back(path);
    }
    return paths;
}

// The properties of a device that tell mains and battery; each one the
// device does not answer (or answers with another type) keeps its default.
struct DeviceFacts {
    uint32_t kind = 0;
    double percentage = 0.0;
    uint32_t state = 0;
    int online = 0;
};

// Reads the value of one a{sv} entry whose name is read already into `value`
// when it has the type `type`; skips it otherwise.
void readVariant(sd_bus_message* reply, char type, void* value)
{
    const char contents[] = {type, '\0'};
    if (sd_bus_message_enter_container(reply, SD_BUS_TYPE_VARIANT, contents) > 0) {
        sd_bus_message_read_basic(reply, type, value);
        sd_bus_message_exit_container(reply);
    } else {
        sd_bus_message_skip(reply, "v");
    }
}

// One call for all of a device's properties, rather than one per property.
DeviceFacts readDevice(const Base::SdBus& bus, const std::string& device)
{
    DeviceFacts facts;
    Base::SdBusError error;
    sd_bus_message* raw = nullptr;
    if (sd_bus_call_method(bus.get(), UPower::kService, device.c_str(), "org.freedesktop.DBus.Properties", "GetAll",
                           error.get(), &raw, "s", UPower::kDevice) < 0) {
        return facts;
    }
    const Base::UniqueHandle<sd_bus_message, sd_bus_message_unref> reply(raw);
    if (sd_bus_message_enter_container(reply.get(), SD_BUS_TYPE_ARRAY, "{sv}") <= 0) {
        return facts;
    }
    while (sd_bus_message_enter_container(reply.get(), SD_BUS_TYPE_DICT_ENTRY, "sv") > 0) {
        const char* name = nullptr;
        if (sd_bus_message_read(reply.get(), "s", &name) < 0) {
            break;
        }
        const std::string_view member = name != nullptr ? name : "";
        if (member == "Type") {
            readVariant(reply.get(), 'u', &facts.kind);
        } else if (member == "Percentage") {
            readVariant(reply.get(), 'd', &facts.percentage);
        } else if (member == "State") {
            readVariant(reply.get(), 'u', &facts.state);
        } else if (member == "Online") {
            readVariant(reply.get(), 'b', &facts.online);
        } else if (sd_bus_message_skip(reply.get(), "v") < 0) {
            break;
        }
        if (sd_bus_message_exit_container(reply.get()) < 0) {
            break;
        }
    }
    return facts;
}

// Mains and battery as UPower reports them; nothing when UPower cannot be
// asked, since then nothing is known about the machine's power. A property
// a device does not answer counts as its default (an unknown type, no charge).
std::optional<PowerProvider::PowerState> readPowerState()
{
    Base::SdBus bus;
    if (const int result = bus.openSystem(); result < 0) {
        TRACE_ERROR << "Failed to open system bus error [" << result << "]" << std::endl;
        return std::nullopt;
    }
    const std::optional<std::vector<std::string>> devices = listDevices(bus);
    if (!devices) {
        TRACE_ERROR << "Failed to list power devices since UPower does not answer" << std::endl;
        return std::nullopt;
    }
    std::string mains = "Offline";
    std::string battery = "None";
    bool discharging = false;
    for (const std::string& device : *devices) {
        const DeviceFacts facts = readDevice(bus, device);
        TRACE_INFO << "Found device [" << device << "] kind [" << word(kKinds, facts.kind) << "]" << std::endl;
        if (facts.kind == kBattery) {
            TRACE_INFO << "Battery device has percentage [" << facts.percentage << "] state ["
                       << word(kStates, facts.state) << "]" << std::endl;
            battery = PowerProvider::batteryLevel(facts.percentage);
            discharging = discharging || facts.state == kDischarging;
        } else if (facts.kind == kLinePower) {
            TRACE_INFO << "Line power device is online [" << (facts.online ? 1 : 0) << "]" << std::endl;
            mains = facts.online ? "Online" : "Offline";
        }
    }
    if (battery == "None") {
        return PowerProvider::PowerState{"Online", battery};
    }
    return PowerProvider::PowerState{discharging ? "Offline" : mains, battery};
}

}  // namespace

std::future<PropertyMap> PowerProvider::getProperties()
{
    // While UPower's watch has announced nothing, UPower is not asked again.
    // The first reading runs beside the other categories.
    return deferredAfterFirst([kept = _kept, quiet = quiet()](PropertyCollector& properties) {
        TRACE_FUNCTION("getProperties");
        TRACE_VERBOSE << "Getting POWER properties..." << std::endl;
        if (properties.anySelected(kKeys)) {
            if (const std::optional<PowerState> state = kept->get(quiet, &readPowerState)) {
                properties.add(kAc, state->ac);
                properties.add(kBattery, state->battery);
            }
        }
        TRACE_VERBOSE << "Done getting POWER properties." << std::endl;
    });
}

std::string PowerProvider::batteryLevel(double percentage)
{
    if (percentage > 66.0) {
        return "High";
    }
    if (percentage < 5.0) {
        return "Critical";
    }
    if (percentage >= 33.0) {
        return "Medium";
    }
    return "Low";
}
