// SPDX-License-Identifier: Apache-2.0
#include "providers/user/RemoteControlProvider.h"

#include "base/Logging.h"
#include "base/Utilities.h"
#include "providers/user/Processes.h"

#include <fcntl.h>

#include <iostream>
#include <mutex>
#include <optional>
#include <string>

namespace {

constexpr const char* kVncServerName = "x11vnc";
constexpr const char* kVncProtocol = "VNC";

}  // namespace

// The processes are the system's, not a connection's: every provider of the
// process shares what the last reading saw, and readings take turns.
struct RemoteControlProvider::Seen {
    std::mutex mutex;
    std::vector<int> knownProcesses;          // sorted: every process of the last reading
    std::vector<int> remoteControlProcesses;  // sorted: the VNC servers among them
    std::optional<int> lastCreated;           // the kernel's last started process, before that listing
};

RemoteControlProvider::Seen& RemoteControlProvider::seen()
{
    // Never destroyed: a reading may still run while the process exits.
    static Seen* const all = new Seen;
    return *all;
}

std::future<PropertyMap> RemoteControlProvider::getProperties()
{
    return deferredAfterFirst([this](PropertyCollector& properties) {
        TRACE_FUNCTION("getProperties");
        TRACE_VERBOSE << "Getting REMOTECONTROL properties..." << std::endl;
        if (properties.anySelected(kKeys)) {
            const bool active = isRemoteControlled();
            properties.add(kActive, active ? "true" : "false");
            properties.add(kProtocol, active ? kVncProtocol : "");
        }
        TRACE_VERBOSE << "Done getting REMOTECONTROL properties." << std::endl;
    });
}

bool RemoteControlProvider::isRemoteControlled()
{
    // Readings take turns: each compares the list it takes with the one the last left.
    Seen& last = seen();
    std::lock_guard<std::mutex> lock(last.mutex);
    if (!_looked) {
        _looked = true;
        if (Processes::listsOwnNamespace()) {
            _loadavg.reset(open("/proc/loadavg", O_RDONLY | O_CLOEXEC));
        }
    }
    // Taken before listing: a process started meanwhile makes the next reading list again.
    const std::optional<int> lastCreated = _loadavg ? Processes::lastCreated(_loadavg.get()) : std::nullopt;
    if (lastCreated && lastCreated == last.lastCreated) {
        std::erase_if(last.remoteControlProcesses, [](int pid) { return !Processes::exists(pid); });
        return !last.remoteControlProcesses.empty();
    }
    const std::optional<std::vector<int>> listed = Processes::enumerate();
    std::vector<int> current = listed.value_or(std::vector<int>{});
    Processes::sort(current);
    if (last.knownProcesses.empty()) {
        std::vector<int> found;
        findRemoteControlledProcesses(current, found);
        Processes::sort(found);
        last.remoteControlProcesses = std::move(found);
    } else {
        std::vector<int> created;
        Processes::createdFromSorted(last.knownProcesses, current, created);
        if (findRemoteControlledProcesses(created, last.remoteControlProcesses)) {
            Processes::sort(last.remoteControlProcesses);
        }
        std::vector<int> destroyed;
        Processes::destroyedFromSorted(last.knownProcesses, current, destroyed);
        for (const int pid : destroyed) {
            Processes::eraseFromSorted(pid, last.remoteControlProcesses);
        }
    }
    last.knownProcesses = std::move(current);
    last.lastCreated = listed ? lastCreated : std::nullopt;
    return !last.remoteControlProcesses.empty();
}

bool RemoteControlProvider::findRemoteControlledProcesses(const std::vector<int>& ids, std::vector<int>& found) const
{
    bool appended = false;
    for (const int pid : ids) {
        const std::optional<std::string> name = Processes::name(pid);
        if (name && Utilities::tolower(*name).find(kVncServerName) != std::string::npos) {
            found.push_back(pid);
            appended = true;
        }
    }
    return appended;
}
