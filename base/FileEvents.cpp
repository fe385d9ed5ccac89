// SPDX-License-Identifier: Apache-2.0
#include "base/FileEvents.h"

#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <utility>

namespace Base {

namespace {

// The instance and who watches what through it.
struct Instance {
    std::mutex mutex;
    Descriptor descriptor;  // made on first use, open for the life of the process
    std::map<int, std::set<FileEvents::Subscription*>> watchers;  // watch -> its subscriptions
    std::set<FileEvents::Subscription*> subscriptions;
};

Instance& sharedInstance()
{
    // Never destroyed: a watch may still end while the process exits.
    static Instance* const shared = new Instance;
    return *shared;
}

void signal(int wake)
{
    const std::uint64_t one = 1;
    (void)!write(wake, &one, sizeof(one));
}

}  // namespace

FileEvents::Subscription::Subscription()
{
    Instance& shared = sharedInstance();
    const std::lock_guard<std::mutex> lock(shared.mutex);
    if (!shared.descriptor) {
        // Tried again by a later subscription when it fails.
        shared.descriptor.reset(inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
        if (!shared.descriptor) {
            return;
        }
    }
    _wake.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!_wake) {
        return;
    }
    _instance = shared.descriptor.get();
    shared.subscriptions.insert(this);
}

FileEvents::Subscription::~Subscription()
{
    unwatchAll();
    Instance& shared = sharedInstance();
    const std::lock_guard<std::mutex> lock(shared.mutex);
    shared.subscriptions.erase(this);
}

int FileEvents::Subscription::watch(const std::string& directory, std::uint32_t mask)
{
    if (!*this) {
        errno = EBADF;
        return -1;
    }
    Instance& shared = sharedInstance();
    const std::lock_guard<std::mutex> lock(shared.mutex);
    const int watch = inotify_add_watch(shared.descriptor.get(), directory.c_str(), mask | IN_MASK_ADD);
    if (watch < 0) {
        return -1;
    }
    shared.watchers[watch].insert(this);
    if (std::find(_watches.begin(), _watches.end(), watch) == _watches.end()) {
        _watches.push_back(watch);
    }
    return watch;
}

void FileEvents::Subscription::unwatchAll()
{
    Instance& shared = sharedInstance();
    const std::lock_guard<std::mutex> lock(shared.mutex);
    for (const int watch : _watches) {
        const auto found = shared.watchers.find(watch);
        if (found == shared.watchers.end()) {
            continue;  // its directory went away
        }
        found->second.erase(this);
        if (found->second.empty()) {
            shared.watchers.erase(found);
            inotify_rm_watch(shared.descriptor.get(), watch);
        }
    }
    _watches.clear();
    _events.clear();
}

std::vector<FileEvents::Event> FileEvents::Subscription::take()
{
    if (!*this) {
        return {};
    }
    std::uint64_t count = 0;
    (void)!read(_wake.get(), &count, sizeof(count));
    Instance& shared = sharedInstance();
    const std::lock_guard<std::mutex> lock(shared.mutex);
    std::set<Subscription*> told;
    alignas(inotify_event) char buffer[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
    for (ssize_t length; (length = read(shared.descriptor.get(), buffer, sizeof(buffer))) > 0;) {
        for (ssize_t offset = 0; offset + static_cast<ssize_t>(sizeof(inotify_event)) <= length;) {
            inotify_event event{};
            std::memcpy(&event, buffer + offset, sizeof(event));
            const char* name = buffer + offset + sizeof(event);
            const std::size_t room =
                std::min<std::size_t>(event.len, static_cast<std::size_t>(length - offset) - sizeof(event));
            const Event taken{event.wd, event.mask, std::string(name, strnlen(name, room))};
            offset += static_cast<ssize_t>(sizeof(event) + event.len);
            if ((event.mask & IN_Q_OVERFLOW) != 0) {
                for (Subscription* subscription : shared.subscriptions) {
                    subscription->_events.push_back(taken);
                    told.insert(subscription);
                }
                continue;
            }
            const auto found = shared.watchers.find(event.wd);
            if (found == shared.watchers.end()) {
                continue;  // a directory let go of, its last events
            }
            for (Subscription* subscription : found->second) {
                subscription->_events.push_back(taken);
                told.insert(subscription);
            }
            if ((event.mask & IN_IGNORED) != 0) {
                // The directory went away: its watch is gone for every subscription.
                for (Subscription* subscription : found->second) {
                    auto& watches = subscription->_watches;
                    watches.erase(std::remove(watches.begin(), watches.end(), event.wd), watches.end());
                }
                shared.watchers.erase(found);
            }
        }
    }
    for (Subscription* subscription : told) {
        if (subscription != this) {
            signal(subscription->_wake.get());
        }
    }
    return std::exchange(_events, {});
}

}  // namespace Base
