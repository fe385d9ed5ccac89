// SPDX-License-Identifier: Apache-2.0
// Category "RemoteControl": whether a VNC server (x11vnc) runs on the device.
//
// The provider remembers the processes it saw at its last reading and the VNC
// servers among them. The first reading looks at every process, on a thread
// of its own; later ones look only at processes started since, and forget the
// servers that ended.
// While the kernel has started no process since the last listing of /proc,
// a reading only looks whether the servers it knows still run.
#pragma once

#include "base/Descriptor.h"
#include "properties/Provider.h"

#include <mutex>
#include <optional>
#include <vector>

class RemoteControlProvider : public ProviderOf<RemoteControlProvider> {
public:
    static constexpr PropertyKey kKeys[] = {
        {"DEVICE_REMOTECONTROL_ACTIVE", 0x01, "whether a VNC server runs", "true/false", "false"},
        {"DEVICE_REMOTECONTROL_PROTOCOL", 0x02, "protocol of the running server: VNC, or empty", "", ""},
    };
    static constexpr const PropertyKey& kActive = kKeys[0];
    static constexpr const PropertyKey& kProtocol = kKeys[1];

    using ProviderOf::ProviderOf;

    std::future<PropertyMap> getProperties() override;

    // Brings the remembered processes up to date; true while a VNC server runs.
    bool isRemoteControlled();

    // Appends the ids of `ids` whose process name holds "x11vnc" in any case;
    // true when it appended any.
    bool findRemoteControlledProcesses(const std::vector<int>& ids, std::vector<int>& found) const;

private:
    std::mutex _mutex;
    std::vector<int> _knownProcesses;          // sorted: every process of the last reading
    std::vector<int> _remoteControlProcesses;  // sorted: the VNC servers among them
    std::optional<int> _lastCreated;           // the kernel's last started process, before that listing
    Base::Descriptor _loadavg;                 // /proc/loadavg, which tells it; open while /proc lists our namespace
    bool _looked = false;                      // whether the first reading opened it
};
