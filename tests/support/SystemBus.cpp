// SPDX-License-Identifier: Apache-2.0
#include "support/SystemBus.h"

#include "support/ChildProcess.h"
#include "support/TempDir.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <stdexcept>
#include <utility>

#if defined(__SANITIZE_THREAD__)
// GDBus talks to the bus from a worker thread inside GLib, GIO, GObject and upower-glib, which are not instrumented:
// ThreadSanitizer sees their memory only through its interceptors and never their atomic operations, and reports
// hundreds of races among their own objects. This process ignores the interceptors called from those libraries, and
// from them only; every access of the library's and the tests' own code is still checked.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_suppressions()
{
    return "called_from_lib:libglib-2.0.so.0\ncalled_from_lib:libgio-2.0.so.0\ncalled_from_lib:libgobject-2.0.so.0\n"
           "called_from_lib:libupower-glib.so.3\ncalled_from_lib:libnm.so.0\n";
}
#endif

namespace TestSupport {
namespace {
constexpr auto kStartupLimit = std::chrono::seconds(20);

const char* const kBusConfiguration = R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig><type>system</type><listen>unix:tmpdir=/tmp</listen><auth>EXTERNAL</auth><policy context="default">
  <allow user="*"/><allow own="*"/><allow send_destination="*" eavesdrop="true"/><allow receive_sender="*"/>
  <allow eavesdrop="true"/></policy></busconfig>
)";

// Polls `done` until it holds; throws `failure` when `child` ended first (it stays unreaped, so its pid is not
// reused) or the start-up limit passed.
void waitUntil(const std::function<bool()>& done, pid_t child, const std::string& failure)
{
    const auto deadline = std::chrono::steady_clock::now() + kStartupLimit;
    while (!done()) {
        siginfo_t info{};
        if (std::chrono::steady_clock::now() > deadline ||
            (child > 0 && waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
             info.si_pid == child)) {
            throw std::runtime_error(failure);
        }
        g_usleep(2000);
    }
}
std::string take(GError* error)
{
    const std::string message = error->message;
    g_error_free(error);
    return message;
}
}  // namespace

SystemBus& SystemBus::instance()
{
    static SystemBus bus;
    return bus;
}
SystemBus::SystemBus()
{
    // The daemon reads its configuration once, at start-up, and prints its address first.
    const TempDir directory;
    const std::string configuration = directory.write("system-bus.conf", kBusConfiguration);
    int pipe[2];
    if (pipe2(pipe, O_CLOEXEC) != 0) throw std::runtime_error("cannot create a pipe");
    _daemon = startChild({"/usr/bin/dbus-daemon", "--config-file=" + configuration, "--nofork", "--print-address=1"},
                         {{STDOUT_FILENO, pipe[1]}});
    ::close(pipe[1]);
    const std::optional<std::string> address = readFirstLine(pipe[0], kStartupLimit);
    ::close(pipe[0]);
    if (!address) {
        stopChild(_daemon);
        throw std::runtime_error("dbus-daemon printed no address");
    }
    setenv("DBUS_SYSTEM_BUS_ADDRESS", address->c_str(), 1);

    // GDBus's shared system bus connection of this process: the bus ending at exit must not make GDBus end it.
    GError* error = nullptr;
    _connection = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
    if (_connection == nullptr) {
        stopChild(_daemon);
        throw std::runtime_error("cannot connect to the private system bus: " + take(error));
    }
    g_dbus_connection_set_exit_on_close(_connection, FALSE);
}
SystemBus::~SystemBus()
{
    g_dbus_connection_close_sync(_connection, nullptr, nullptr);
    g_object_unref(_connection);
    stopChild(_daemon);
}
VariantHandle SystemBus::call(const std::string& service, const std::string& path, const std::string& interface,
                              const std::string& method, GVariant* parameters)
{
    GError* error = nullptr;
    VariantHandle reply(g_dbus_connection_call_sync(_connection, service.c_str(), path.c_str(), interface.c_str(),
                                                    method.c_str(), parameters, nullptr, G_DBUS_CALL_FLAGS_NONE, -1,
                                                    nullptr, &error));
    if (!reply) throw std::runtime_error(interface + "." + method + " on " + service + path + " failed: " + take(error));
    return reply;
}
bool SystemBus::hasOwner(const std::string& name)
{
    gboolean owned = FALSE;
    g_variant_get(call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
                       g_variant_new("(s)", name.c_str())).get(), "(b)", &owned);
    return owned != FALSE;
}
BusService::BusService(std::string busName, const std::vector<std::string>& arguments) : _busName(std::move(busName))
{
    SystemBus& bus = SystemBus::instance();
    if (bus.hasOwner(_busName)) throw std::runtime_error(_busName + " is already on the bus");
    std::vector<std::string> command{"/usr/bin/python3", "-m", "dbusmock", "--system"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    // dbusmock reports every call on its standard output.
    const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    _pid = startChild(command, {{STDOUT_FILENO, devNull}});
    ::close(devNull);
    try {
        waitUntil([&] { return bus.hasOwner(_busName); }, _pid, "dbusmock did not take " + _busName);
    } catch (...) {
        stopChild(_pid);
        throw;
    }
}
BusService::~BusService()
try {
    stop();
} catch (...) {
}
void BusService::pause()
{
    if (_pid > 0) {
        kill(_pid, SIGSTOP);
    }
}

void BusService::resume()
{
    if (_pid > 0) {
        kill(_pid, SIGCONT);
    }
}

void BusService::stop()
{
    if (_pid > 0) {
        resume();  // a paused process would take SIGTERM only once it goes on
        stopChild(std::exchange(_pid, -1));
        waitUntil([&] { return !SystemBus::instance().hasOwner(_busName); }, -1, "the bus kept " + _busName);
    }
}
}  // namespace TestSupport
