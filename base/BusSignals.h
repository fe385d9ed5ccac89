// The signals of one service on the system bus, as a change source: every
// signal the service sends from its objects (the objects under the path its
// name gives: org.freedesktop.UPower's under /org/freedesktop/UPower), and
// the service arriving on the bus or leaving it. A service that is not on
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
    int connect(std::string& why) override;
    Taken take() override;
    void disconnect() override;

    // The object path that a service's name gives: dots become slashes.
    static std::string pathOf(const std::string& service);

private:
    static int announce(sd_bus_message* message, void* self, sd_bus_error* error);

    const std::string _service;
    SdBus _bus;
    bool _announced = false;
};

}  // namespace Base
