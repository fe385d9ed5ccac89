// SPDX-License-Identifier: Apache-2.0
// A private D-Bus system bus for the whole test process, and python-dbusmock services on it. The bus starts on
// first use and points DBUS_SYSTEM_BUS_ADDRESS at itself, so call SystemBus::instance() before anything in the
// process touches the system bus (GDBus keeps its first system bus connection for the life of the process). It
// stays until the process ends; services come and go.
#pragma once
#include "base/UniqueHandle.h"

#include <gio/gio.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace TestSupport {
using VariantHandle = Base::UniqueHandle<GVariant, g_variant_unref>;
class SystemBus {
public:
    static SystemBus& instance();  // the bus of this process, started on the first call
    ~SystemBus();
    SystemBus(const SystemBus&) = delete;
    SystemBus& operator=(const SystemBus&) = delete;
    // Calls a method; `parameters` (floating or null) is consumed. Throws std::runtime_error with the D-Bus error
    // when the call fails.
    VariantHandle call(const std::string& service, const std::string& path, const std::string& interface,
                       const std::string& method, GVariant* parameters);
    bool hasOwner(const std::string& name);

private:
    SystemBus();
    pid_t _daemon = -1;
    GDBusConnection* _connection = nullptr;
};
// One `python3 -m dbusmock --system ARGUMENTS...` process owning `busName`; started and ready when constructed,
// stopped (and waited for) when destroyed.
class BusService {
public:
    BusService(std::string busName, const std::vector<std::string>& arguments);
    ~BusService();
    BusService(const BusService&) = delete;
    BusService& operator=(const BusService&) = delete;
    void stop();  // ends the process and waits until the bus no longer knows its name
    // Stops the process without ending it, as a service that hangs keeps its name and answers nothing; resume()
    // lets it go on, with what was asked meanwhile.
    void pause();
    void resume();
    VariantHandle call(const std::string& path, const std::string& interface, const std::string& method,
                       GVariant* parameters)
    {
        return SystemBus::instance().call(_busName, path, interface, method, parameters);
    }
    // org.freedesktop.DBus.Mock.AddProperty and org.freedesktop.DBus.Properties.Set; `value` (floating) is consumed.
    void addProperty(const std::string& path, const std::string& interface, const std::string& name, GVariant* value)
    {
        call(path, "org.freedesktop.DBus.Mock", "AddProperty", g_variant_new("(ssv)", interface.c_str(), name.c_str(), value));
    }
    void setProperty(const std::string& path, const std::string& interface, const std::string& name, GVariant* value)
    {
        call(path, "org.freedesktop.DBus.Properties", "Set", g_variant_new("(ssv)", interface.c_str(), name.c_str(), value));
    }

private:
    std::string _busName;
    pid_t _pid = -1;
};
}  // namespace TestSupport
