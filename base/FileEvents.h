// SPDX-License-Identifier: Apache-2.0
// The process's one inotify instance, shared by every watch of files.
//
// Each inotify instance that a process closes, or that its exit closes, waits
// for the kernel to retire its watches (an SRCU grace period): a second one
// closed just after the first, or one closed by a thread while the process
// exits, waits a whole grace period, some 12 to 20 ms. One instance for the
// whole process, kept open for its life (the library is never unloaded), has
// only its watches removed when a watch ends, and ends with the process
// without that wait.
//
// A Subscription is one watch's share: the directories it watches and the
// events of those directories, which reach it through a wake descriptor of
// its own. Whichever subscription's thread finds the instance readable reads
// every event queued and hands each subscription its own; the others' wake
// descriptors then tell them. Directories that several subscriptions watch
// are watched once, and let go when the last of them lets go.
//
//     Base::FileEvents::Subscription files;
//     const int watch = files.watch("/etc", IN_CREATE | IN_DELETE | IN_ONLYDIR);
//     ... poll files.instance() and files.wake() for POLLIN ...
//     for (const Base::FileEvents::Event& event : files.take()) { ... }
#pragma once

#include "base/Descriptor.h"

#include <cstdint>
#include <string>
#include <vector>

namespace Base {

class FileEvents {
public:
    struct Event {
        int watch;        // as watch() gave it; -1 with IN_Q_OVERFLOW
        std::uint32_t mask;
        std::string name;  // of the file in the directory, when the event names one
    };

    class Subscription {
    public:
        // Without the instance or a wake descriptor (errno tells why), false.
        Subscription();
        ~Subscription();
        Subscription(const Subscription&) = delete;
        Subscription& operator=(const Subscription&) = delete;

        explicit operator bool() const { return _instance >= 0 && _wake; }

        // Watches the directory `directory` for `mask` (added to what other
        // subscriptions watch it for); the watch, or -1 with errno set.
        int watch(const std::string& directory, std::uint32_t mask);
        // Lets go of every directory of this subscription; thread-safe
        // against take() on the subscription's own thread.
        void unwatchAll();

        // What to poll for POLLIN.
        int instance() const { return _instance; }
        int wake() const { return _wake.get(); }
        // The events of this subscription's directories since the last
        // take(), reading what the instance holds for every subscription.
        // An overflow of the instance's queue reaches every subscription;
        // a directory that went away (IN_IGNORED) is let go.
        std::vector<Event> take();

    private:
        int _instance = -1;
        Descriptor _wake;
        std::vector<Event> _events;  // handed over by other takes; under the instance's mutex
        std::vector<int> _watches;   // under the instance's mutex
        friend class FileEvents;
    };
};

}  // namespace Base
