// SPDX-License-Identifier: Apache-2.0
#include "providers/network/NetworkManagerBus.h"

#include "base/SdBus.h"

#include <cstring>

NetworkManagerBus::Presence NetworkManagerBus::ask(std::string& why)
{
    Base::SdBus bus;
    if (const int result = bus.openSystem(); result < 0) {
        why = std::string("no system bus: ") + std::strerror(-result);
        return Presence::NoSystemBus;
    }
    Base::SdBusError error;
    bool owned = true;
    if (bus.nameHasOwner(kName, error, owned) >= 0 && !owned) {
        why = std::string(kName) + " has no owner on the system bus";
        return Presence::NoOwner;
    }
    return Presence::Running;
}
