// SPDX-License-Identifier: Apache-2.0
#include "providers/power/PowerProvider.h"

#include "base/GObjectHandle.h"
#include "base/Logging.h"
#include "base/ThreadContext.h"

#include <upower.h>

#include <iostream>
#include <optional>

namespace {


// Mains and battery as UPower reports them; nothing when UPower cannot be
// asked, since then nothing is known about the machine's power.
std::optional<PowerProvider::PowerState> readPowerState()
{
    // The client and its devices' proxies deliver to a context of this
    // reading's own, whichever thread it runs on.
    const Base::ThreadContext context;
    GError* raw = nullptr;
    const Base::GObjectHandle<UpClient> client(up_client_new_full(nullptr, &raw));
    const Base::GErrorHandle error(raw);
    if (!client) {
        TRACE_ERROR << "Failed to create up client error [" << (error ? error->message : "") << "]" << std::endl;
        return std::nullopt;
    }
    const Base::PtrArrayHandle devices(up_client_get_devices2(client.get()));
    if (!devices) {
        TRACE_ERROR << "Failed to list power devices since UPower does not answer" << std::endl;
        return std::nullopt;
    }
    std::string mains = "Offline";
    std::string battery = "None";
    bool discharging = false;
    for (guint i = 0; i < devices->len; ++i) {
        auto* device = static_cast<UpDevice*>(g_ptr_array_index(devices.get(), i));
        guint kind = UP_DEVICE_KIND_UNKNOWN;
        g_object_get(device, "kind", &kind, nullptr);
        TRACE_INFO << "Found device [" << up_device_get_object_path(device) << "] kind ["
                   << up_device_kind_to_string(static_cast<UpDeviceKind>(kind)) << "]" << std::endl;
        if (kind == UP_DEVICE_KIND_BATTERY) {
            gdouble percentage = 0.0;
            guint state = UP_DEVICE_STATE_UNKNOWN;
            g_object_get(device, "percentage", &percentage, "state", &state, nullptr);
            TRACE_INFO << "Battery device has percentage [" << percentage << "] state ["
                       << up_device_state_to_string(static_cast<UpDeviceState>(state)) << "]" << std::endl;
            battery = PowerProvider::batteryLevel(percentage);
            discharging = discharging || state == UP_DEVICE_STATE_DISCHARGING;
        } else if (kind == UP_DEVICE_KIND_LINE_POWER) {
            gboolean online = FALSE;
            g_object_get(device, "online", &online, nullptr);
            TRACE_INFO << "Line power device is online [" << (online ? 1 : 0) << "]" << std::endl;
            mains = online ? "Online" : "Offline";
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
