// SPDX-License-Identifier: Apache-2.0
#include "providers/igel/IgelProvider.h"

#include "base/Logging.h"
#include "providers/device/IgelTools.h"
#include "base/Utilities.h"
#include "providers/igel/Certificate.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <future>
#include <iostream>
#include <iterator>

namespace {

constexpr const char* kStructureTagPath = "/tmp/structuretag";
constexpr const char* kUmsCertificatePath = "/wfs/server.crt";
constexpr const char* kIcgCertificatePath = "/wfs/icgcert.crt";
constexpr const char* kIcgConfigPath = "/wfs/.icg.cfg";
constexpr int kMaximumServers = 16;
constexpr int kMaximumVariables = 20;

// The words that tell one server list's log lines apart.
struct ServerSource {
    const char* function;
    const char* hostKey;  // with "%d" for the index
    const char* portKey;
    const char* notFound;
    const char* found;
    const char* hostWord;
};

std::string readServers(const IgelProvider::Lookup& get, const ServerSource& source)
{
    [[maybe_unused]] const char* cvLogFunction = source.function;
    std::string list;
    for (int i = 0; i < kMaximumServers; ++i) {
        const std::string host = get(PropertyCollector::indexedKey(source.hostKey, i)).value_or("");
        if (host.empty()) {
            TRACE_VERBOSE << source.notFound << i << "]" << std::endl;
            break;
        }
        const std::string port = get(PropertyCollector::indexedKey(source.portKey, i)).value_or("");
        TRACE_VERBOSE << source.found << i << "] " << source.hostWord << " [" << host << "] port [" << port << "]"
                      << std::endl;
        IgelProvider::appendServer(list, host, port);
    }
    return list;
}

std::optional<IgelProvider::Variable> readVariable(const IgelProvider::Lookup& get, const std::string& path,
                                                   const char* type)
{
    TRACE_FUNCTION("getEnvironmentVariable");
    // A variable needs both; a missing name spares the tool's start for the value.
    const std::optional<std::string> name = get(path + ".name");
    const std::optional<std::string> value = name && !name->empty() ? get(path + ".value") : std::nullopt;
    if (!name || !value || name->empty() || value->empty()) {
        TRACE_VERBOSE << "Unable to find environment variable path [" << path << "]" << std::endl;
        return std::nullopt;
    }
    TRACE_VERBOSE << "Found environment variable path [" << path << "] name [" << *name << "] value [" << *value
                  << "]" << std::endl;
    return IgelProvider::Variable{path, *name, *value, type};
}

std::string structureTag()
{
    std::string tag = Utilities::readFile(kStructureTagPath).value_or("");
    if (tag.empty()) {
        tag = IgelProvider::registryValue("system.remotemanager.ums_structure_tag").value_or("");
    }
    return tag;
}

std::string icgServersOrLegacy()
{
    std::string list = IgelProvider::icgServers(&IgelProvider::registryValue);
    if (list.empty()) {
        TRACE_FUNCTION("getIcgServerProperty");
        TRACE_VERBOSE << "ICG servers were not found, attempting to read from legacy" << std::endl;
        list = IgelProvider::parseIcgConfig(Utilities::readFile(kIcgConfigPath).value_or(""));
    }
    return list;
}

// `keys`: the certificate's serial number, subject and thumbprint.
void addCertificate(PropertyCollector& properties, const char* path, PropertyKeys keys)
{
    if (!properties.anySelected(keys)) {
        return;
    }
    const std::optional<Certificate> certificate = Certificate::get(path);
    if (!certificate) {
        properties.unavailable(keys);
        return;
    }
    properties.add(keys[0], certificate->serialNumber);
    properties.add(keys[1], certificate->subject);
    properties.add(keys[2], certificate->thumbprint);
}

// Whether a reading of this process asked IGEL's tool before: its answers are
// kept from then on (Base::ProgramAnswers), so only the first reading starts
// it for every key.
bool toolAskedBefore()
{
    static std::atomic<bool> asked{false};
    return asked.exchange(true);
}

std::string errorText(int error)
{
    return std::strerror(error);
}

}  // namespace

IgelProvider::~IgelProvider()
{
    close();
}

std::future<PropertyMap> IgelProvider::getProperties()
{
    if (!hostAtLeast(20, 1) && category()->name == "Custom") {
        return getLegacyCustomProperties();
    }
    if (category()->name != "Igel") {
        return ready({});
    }
    return getIgelProperties();
}

std::future<PropertyMap> IgelProvider::getIgelProperties() const
{
    const bool environment = hostAtLeast(20, 1);
    const bool sideBySide = !toolAskedBefore();
    return deferredAfterFirst([environment, sideBySide](PropertyCollector& properties) {
        TRACE_FUNCTION("operator()");
        TRACE_VERBOSE << "Getting IGEL properties..." << std::endl;
        // IGEL's tool answers one key per start, a few milliseconds each: at
        // the process's first reading, which starts it for every key, the
        // lists that do not depend on each other are read side by side, and
        // the certificates meanwhile (each list after the other should no
        // thread be left for it). Later readings mostly take kept answers,
        // which threads of their own would only make dearer.
        properties.addBeside(kStructureTag, sideBySide, &structureTag);
        properties.addBeside(kUmsServer, sideBySide, [] { return umsServers(&registryValue); });
        properties.addBeside(kIcgServer, sideBySide, &icgServersOrLegacy);
        std::future<std::vector<Variable>> environmentVariables =
            environment ? PropertyCollector::beside(sideBySide,
                                                    [sideBySide] { return readVariables(&registryValue, sideBySide); })
                        : std::future<std::vector<Variable>>();
        addCertificate(properties, kUmsCertificatePath, kUmsCertificateKeys);
        addCertificate(properties, kIcgCertificatePath, kIcgCertificateKeys);
        if (environment) {
            const std::vector<Variable> variables = environmentVariables.get();
            for (std::size_t n = 0; n < variables.size(); ++n) {
                const int index = static_cast<int>(n);
                properties.addIndexed(kEnvironmentName, index, variables[n].name);
                properties.addIndexed(kEnvironmentValue, index, variables[n].value);
                properties.addIndexed(kEnvironmentType, index, variables[n].type);
            }
            properties.add(kEnvironmentCount, std::to_string(variables.size()));
        }
        TRACE_VERBOSE << "Done getting IGEL properties." << std::endl;
    });
}

std::future<PropertyMap> IgelProvider::getLegacyCustomProperties() const
{
    return deferred([](PropertyCollector& properties) {
        TRACE_FUNCTION("operator()");
        TRACE_VERBOSE << "Getting legacy CUSTOM properties..." << std::endl;
        const std::vector<Variable> variables = readVariables(&registryValue);
        for (std::size_t n = 0; n < variables.size(); ++n) {
            const int index = static_cast<int>(n);
            properties.addIndexed(kCustomPath, index, variables[n].path);
            properties.addIndexed(kCustomName, index, variables[n].name);
            properties.addIndexed(kCustomValue, index, variables[n].value);
        }
        properties.add(kCustomCount, std::to_string(variables.size()));
        TRACE_VERBOSE << "Done getting CUSTOM properties." << std::endl;
    });
}

std::optional<std::string> IgelProvider::registryValue(const std::string& key)
{
    return IgelTools::registry(key);
}

std::string IgelProvider::umsServers(const Lookup& get)
{
    return readServers(get, {"getUmsServerProperty", "system.remotemanager.server%d.ip",
                             "system.remotemanager.server%d.port", "Did not detect an OS management at index [",
                             "Found OS management at index [", "ip"});
}

std::string IgelProvider::icgServers(const Lookup& get)
{
    return readServers(get, {"getIcgServerProperty", "system.icg.server%d.host", "system.icg.server%d.port",
                             "Did not detect an ICG at index [", "Found ICG at index [", "host"});
}

void IgelProvider::appendServer(std::string& list, const std::string& host, const std::string& port)
{
    if (!list.empty()) {
        list += ';';
    }
    list += host;
    if (!port.empty()) {
        list += ':' + port;
    }
}

namespace {

// The text of `<name>...value=<TEXT>...</name>` inside [from, to) of `content`.
std::string icgElement(const std::string& content, std::size_t from, std::size_t to, const std::string& name,
                       const char* label)
{
    TRACE_FUNCTION("getIcgServerPropertyLegacy");
    const std::string open = "<" + name + ">";
    const std::string close = "</" + name + ">";
    const std::size_t start = content.find(open, from);
    if (start == std::string::npos || start >= to) {
        return {};
    }
    const std::size_t end = content.find(close, start + open.size());
    if (end == std::string::npos || end + close.size() > to) {
        return {};
    }
    TRACE_VERBOSE << label << start << "] -> [" << end << "]" << std::endl;
    const std::string marker = "value=<";
    const std::size_t value = content.find(marker, start + open.size());
    if (value == std::string::npos || value >= end) {
        return {};
    }
    const std::size_t valueEnd = content.find('>', value + marker.size());
    if (valueEnd == std::string::npos || valueEnd >= end) {
        return {};
    }
    return content.substr(value + marker.size(), valueEnd - value - marker.size());
}

}  // namespace

std::string IgelProvider::parseIcgConfig(const std::string& content)
{
    TRACE_FUNCTION("getIcgServerPropertyLegacy");
    static const std::string kOpen = "<icg-agent>";
    static const std::string kClose = "</icg-agent>";
    std::string list;
    std::size_t from = 0;
    while (true) {
        const std::size_t start = content.find(kOpen, from);
        if (start == std::string::npos) {
            break;
        }
        const std::size_t end = content.find(kClose, start + kOpen.size());
        if (end == std::string::npos) {
            break;
        }
        TRACE_VERBOSE << "Found agent [" << start << "] -> [" << end << "]" << std::endl;
        // Each agent's elements are looked for inside its own block only, so
        // an agent without an address never borrows the next agent's.
        const std::string port = icgElement(content, start, end, "port", "Found port [");
        const std::string address = icgElement(content, start, end, "address", "Found address [");
        TRACE_VERBOSE << "Found address [" << address << "] port [" << port << "]" << std::endl;
        if (!address.empty()) {
            appendServer(list, address, port);
        }
        from = end + kClose.size();
    }
    return list;
}

std::vector<IgelProvider::Variable> IgelProvider::readVariables(const Lookup& get, bool sideBySide)
{
    const auto readKind = [&get](const std::string& prefix, const char* type) {
        std::vector<Variable> variables;
        for (int i = 0; i < kMaximumVariables; ++i) {
            std::optional<Variable> variable = readVariable(get, prefix + std::to_string(i), type);
            if (!variable) {
                break;
            }
            variables.push_back(std::move(*variable));
        }
        return variables;
    };
    // Each lookup may start IGEL's tool, a few milliseconds each: side by
    // side, the two kinds are read together (one after the other should no
    // thread be left for the second).
    std::future<std::vector<Variable>> dynamic = PropertyCollector::beside(
        sideBySide, [&readKind] { return readKind("system.environment_variables.dynamicvariable", "Dynamic"); });
    std::vector<Variable> variables = readKind("system.environment_variables.fixvariable", "Fixed");
    std::vector<Variable> dynamicVariables = dynamic.get();
    std::move(dynamicVariables.begin(), dynamicVariables.end(), std::back_inserter(variables));
    return variables;
}

void IgelProvider::monitorForChanges(const ChangeCallback& callback)
{
    if (!hostAtLeast(20, 1) || category()->name != "Igel") {
        return;
    }
    if (_monitor.running()) {
        TRACE_VERBOSE << "Ignoring request to monitor changes since already monitoring" << std::endl;
        return;
    }
    _callback = callback;
    _monitor.start({
        .wakeFailed =
            [](int error) {
                TRACE_FUNCTION("monitorForChanges");
                TRACE_ERROR << "Failed to create the close signal of the inotify watch error [" << error
                            << "] message [" << errorText(error) << "]" << std::endl;
                return false;
            },
        .startFailed =
            [](const char* what) {
                TRACE_FUNCTION("monitorForChanges");
                TRACE_ERROR << "Failed to start the inotify monitor thread error [" << what << "]" << std::endl;
            },
        .open = [this](std::vector<pollfd>& descriptors) { return watch(descriptors); },
        .ready = [this](std::span<pollfd> descriptors) { return react(descriptors); },
        .idle = {},
        .pollFailed =
            [](int error) {
                TRACE_FUNCTION("operator()");
                TRACE_ERROR << "Failed to wait for inotify events error [" << error << "] message ["
                            << errorText(error) << "]" << std::endl;
            },
        .closed =
            [this](bool woken) {
                TRACE_FUNCTION("operator()");
                if (woken) {
                    TRACE_VERBOSE << "Received close signal for the inotify watch" << std::endl;
                }
                cleanupInotify();
                TRACE_VERBOSE << "Watch of inotify was closed." << std::endl;
            },
        .aborted =
            [this](const char* what) {
                TRACE_FUNCTION("operator()");
                TRACE_ERROR << "Aborting inotify watch due to incoming exception [" << what << "]" << std::endl;
                cleanupInotify();
            },
    });
}

bool IgelProvider::watch(std::vector<pollfd>& descriptors)
{
    TRACE_FUNCTION("operator()");
    _inotify.reset(inotify_init1(IN_CLOEXEC));
    if (!_inotify) {
        const int error = errno;
        TRACE_ERROR << "Failed to initialise inotify error [" << error << "] message [" << errorText(error) << "]"
                    << std::endl;
        return false;
    }
    _x11vncWatch = inotify_add_watch(_inotify.get(), kX11vncPath, IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE);
    if (_x11vncWatch < 0) {
        const int error = errno;
        TRACE_ERROR << "Failed to add inotify x11vnc watch error [" << error << "] message [" << errorText(error)
                    << "]" << std::endl;
    } else {
        TRACE_VERBOSE << "Successfully added inotify watch for x11vnc" << std::endl;
    }
    _wmconfigWatch = inotify_add_watch(_inotify.get(), kWmconfigPath, IN_CLOSE_WRITE | IN_CLOSE_NOWRITE);
    if (_wmconfigWatch < 0) {
        const int error = errno;
        TRACE_ERROR << "Failed to add inotify wmconfig watch error [" << error << "] message [" << errorText(error)
                    << "]" << std::endl;
    } else {
        TRACE_VERBOSE << "Successfully added inotify watch for wmconfig" << std::endl;
    }
    TRACE_VERBOSE << "Watching for file events on x11vnc and wmconfig..." << std::endl;
    if (_x11vncWatch >= 1 || _wmconfigWatch >= 1) {
        descriptors.push_back(pollfd{_inotify.get(), POLLIN, 0});
    }
    return true;
}

bool IgelProvider::react(std::span<pollfd> descriptors)
{
    TRACE_FUNCTION("operator()");
    if (descriptors[0].revents == 0) {
        return true;
    }
    // Room for many events at once; the kernel only hands out whole events.
    alignas(inotify_event) char buffer[32 * (sizeof(inotify_event) + NAME_MAX + 1)];
    const ssize_t length = read(_inotify.get(), buffer, sizeof(buffer));
    if (length <= 0) {
        if (length < 0 && errno == EINTR) {
            return true;
        }
        const int error = length < 0 ? errno : 0;
        TRACE_ERROR << "Failed to read inotify events error [" << error << "] message [" << errorText(error) << "]"
                    << std::endl;
        return false;
    }
    if (handleEvents(buffer, static_cast<std::size_t>(length)) && _callback) {
        _callback(category());
    }
    return _x11vncWatch >= 1 || _wmconfigWatch >= 1;
}

bool IgelProvider::handleEvents(const char* buffer, std::size_t length)
{
    TRACE_FUNCTION("operator()");
    bool used = false;
    std::size_t offset = 0;
    while (offset + sizeof(inotify_event) <= length) {
        inotify_event event{};
        std::memcpy(&event, buffer + offset, sizeof(event));
        const std::size_t size = sizeof(inotify_event) + event.len;
        if (offset + size > length) {
            break;
        }
        const std::string name = event.len > 0 ? std::string(buffer + offset + sizeof(inotify_event),
                                                             strnlen(buffer + offset + sizeof(inotify_event), event.len))
                                               : std::string();
        TRACE_VERBOSE << "Inotify event is mask [" << event.mask << "] file [" << name << "]" << std::endl;
        if ((event.mask & IN_IGNORED) != 0) {
            // The file went (removed, replaced or its file system unmounted):
            // the kernel has dropped the watch.
            if (event.wd == _x11vncWatch) {
                TRACE_WARNING << "Inotify x11vnc watch was removed by the system" << std::endl;
                _x11vncWatch = -1;
            } else if (event.wd == _wmconfigWatch) {
                TRACE_WARNING << "Inotify wmconfig watch was removed by the system" << std::endl;
                _wmconfigWatch = -1;
            }
        } else if ((event.mask & IN_Q_OVERFLOW) != 0 || event.wd == _x11vncWatch || event.wd == _wmconfigWatch) {
            used = true;
        }
        offset += size;
    }
    return used;
}

void IgelProvider::cleanupInotify()
{
    TRACE_FUNCTION("cleanupInotify");
    const std::pair<int*, const char*> watches[] = {{&_x11vncWatch, "x11vnc"}, {&_wmconfigWatch, "wmconfig"}};
    for (const auto& [watch, name] : watches) {
        if (*watch < 0) {
            continue;
        }
        if (_inotify && inotify_rm_watch(_inotify.get(), *watch) == 0) {
            TRACE_VERBOSE << "Successfully removed inotify " << name << " watch" << std::endl;
        } else {
            const int error = _inotify ? errno : EBADF;
            TRACE_ERROR << "Failed to remove inotify " << name << " watch error [" << error << "] message ["
                        << errorText(error) << "]" << std::endl;
        }
        *watch = -1;
    }
    if (_inotify) {
        if (::close(_inotify.release()) != 0) {
            const int error = errno;
            TRACE_ERROR << "Failed to close inotify error [" << error << "] message [" << errorText(error) << "]"
                        << std::endl;
        } else {
            TRACE_VERBOSE << "Successfully closed inotify watch" << std::endl;
        }
    }
}

void IgelProvider::close()
{
    if (!_monitor.running()) {
        return;
    }
    TRACE_VERBOSE << "Shutting down inotify..." << std::endl;
    if (!_monitor.stop()) {
        // Called from the monitor thread itself, which calls nothing of the
        // provider's once this call has returned.
        cleanupInotify();
        return;
    }
    cleanupInotify();
    TRACE_VERBOSE << "Done shutting down inotify." << std::endl;
}
