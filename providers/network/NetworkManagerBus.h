// SPDX-License-Identifier: Apache-2.0
// Whether NetworkManager is on the system bus, asked of the bus daemon over
// sd-bus before a reading asks NetworkManager itself: libnm, with GIO and
// GnuTLS, is loaded only for a reading that will use it, so an endpoint
// without NetworkManager never loads it.
//
//     std::string why;
//     if (NetworkManagerBus::ask(why) != NetworkManagerBus::Presence::Running) { ... the kernel's interfaces ... }
#pragma once

#include <string>

class NetworkManagerBus {
public:
    static constexpr const char* kName = "org.freedesktop.NetworkManager";

    enum class Presence { Running, NoSystemBus, NoOwner };
    // NoSystemBus or NoOwner, with the reason in `why`, when there is no
    // system bus or the name has no owner there. A bus that cannot tell
    // counts as Running, so that libnm's client decides as it would.
    static Presence ask(std::string& why);
};
