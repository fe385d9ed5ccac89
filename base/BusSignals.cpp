// SPDX-License-Identifier: Apache-2.0
#include "base/BusSignals.h"

#include <cstring>
#include <utility>

namespace Base {

BusSignals::BusSignals(std::string service) : _service(std::move(service)) {}

std::string BusSignals::pathOf(const std::string& service)
{
    std::string path = "/" + service;
    for (char& character : path) {
        if (character == '.') {
            character = '/';
        }
    }
    return path;
}

int BusSignals::connect(std::string& why)
{
    disconnect();
    _absent = false;
    if (const int result = _bus.openSystem(); result < 0) {
        why = std::string("no system bus: ") + std::strerror(-result);
        _absent = true;
        disconnect();
        return -1;
    }
    // The bus daemon resolves a sender's well-known name, so the objects'
    // path says whose signals these are; the daemon's own signal says when
    // the service comes or goes.
    const std::string objects = "type='signal',path_namespace='" + pathOf(_service) + "'";
    const std::string owner =
        "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',member='NameOwnerChanged',"
        "arg0='" + _service + "'";
    for (const auto& [rule, handler] : {std::pair{objects, &BusSignals::announceChange}, std::pair{owner, &BusSignals::announce}}) {
        if (const int result = sd_bus_add_match(_bus.get(), nullptr, rule.c_str(), handler, this); result < 0) {
            why = std::string("the bus refused to announce its signals: ") + std::strerror(-result);
            disconnect();
            return -1;
        }
    }
    const int descriptor = sd_bus_get_fd(_bus.get());
    if (descriptor < 0) {
        why = std::string("no bus descriptor: ") + std::strerror(-descriptor);
        disconnect();
        return -1;
    }
    // What arrived while the matches were being made is no change of ours.
    take();
    _announced = false;
    return descriptor;
}

ChangeSource::Taken BusSignals::take()
{
    if (!_bus.get()) {
        return Taken::lost;
    }
    _announced = false;
    for (int round = 0; round < 10000; ++round) {
        const int result = sd_bus_process(_bus.get(), nullptr);
        if (result < 0) {
            return Taken::lost;
        }
        if (result == 0) {
            break;
        }
    }
    const bool announced = _announced;
    _announced = false;
    return announced ? Taken::changed : Taken::nothing;
}

int BusSignals::announce(sd_bus_message*, void* self, sd_bus_error*)
{
    static_cast<BusSignals*>(self)->_announced = true;
    return 0;
}

int BusSignals::announceChange(sd_bus_message* message, void* self, sd_bus_error* error)
{
    if (announces(static_cast<BusSignals*>(self)->_service, sd_bus_message_get_interface(message))) {
        return announce(message, self, error);
    }
    return 0;
}

bool BusSignals::announces(const std::string& service, const char* interface)
{
    if (interface == nullptr) {
        return false;
    }
    const std::string name = interface;
    return name == "org.freedesktop.DBus.Properties" || name == "org.freedesktop.DBus.ObjectManager" ||
           name == service || name.rfind(service + ".", 0) == 0;
}

void BusSignals::disconnect()
{
    // Closing the connection also ends its matches on the bus.
    _bus = SdBus();
}

}  // namespace Base
