// SPDX-License-Identifier: Apache-2.0
// The signals of one service on the system bus, as a change source: the
// signals of the service's own interfaces and its property and object
// changes, sent from its objects (those under the path its name gives:
// org.freedesktop.UPower's under /org/freedesktop/UPower), and the service
// arriving on the bus or leaving it. Other signals on those paths (a
// debugging interface's, say) are no change. A service that is not on
// the bus yet is watched all the same; only a bus that cannot be reached
// makes the source missing.
#pragma once

#include "base/ChangeSource.h"
#include "base/SdBus.h"

namespace Base {

class BusSignals : public ChangeSource {
public:
    explicit BusSignals(std::string service);

    std::string what() const override { return _service; }
    bool absent() const override { return _absent; }
    int connect(std::string& why) override;
    Taken take() override;
    void disconnect() override;

    // The object path that a service's name gives: dots become slashes.
    static std::string pathOf(const std::string& service);
    // Whether a signal of `interface` from the service's objects announces a
    // change: org.freedesktop.DBus.Properties and ObjectManager, the
    // service's name and the interfaces under it.
    static bool announces(const std::string& service, const char* interface);

private:
    static int announce(sd_bus_message* message, void* self, sd_bus_error* error);
    static int announceChange(sd_bus_message* message, void* self, sd_bus_error* error);

    const std::string _service;
    SdBus _bus;
    bool _announced = false;
    bool _absent = false;  // the last connect() found no system bus
};

}  // namespace Base
