// SPDX-License-Identifier: Apache-2.0
// Category "RemoteControl": whether a VNC server (x11vnc) runs on the device.
//
// The process remembers the processes the last reading saw, whichever
// connection's it was, and the VNC servers among them: the first reading
// looks at every process, on a thread of its own; later ones (a next
// connection's first among them) look only at processes started since, and
// forget the servers that ended. While the kernel has started no process
// since the last listing of /proc, a reading only looks whether the servers
// it knows still run.
#pragma once

#include "base/Descriptor.h"
#include "properties/Provider.h"

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
    // What the last reading of the process saw (see the .cpp).
    struct Seen;
    static Seen& seen();

    Base::Descriptor _loadavg;  // /proc/loadavg, which tells the last started process; open while /proc lists our namespace
    bool _looked = false;       // whether the first reading opened it (under Seen's mutex)
};
