// SPDX-License-Identifier: Apache-2.0
// A watch of a provider's sources on a thread of its own: files by name,
// through inotify on the directory that holds each (so a file written,
// replaced by a rename or a new link, removed or made again counts), kernel
// files that announce their changes through poll(), as
// /proc/sys/kernel/hostname does, and udev's devices of some subsystems added,
// changed or removed, and sources that may come and go (a service on the
// system bus, the X display, see ChangeSource): while one is away the watch
// tries again every second, and its going and its coming back are changes
// too. Whatever one wake-up of the thread brings, with
// what follows within 25 ms, is one change: `changed` runs once for it, on the
// watch's thread.
//
//     Base::ChangeWatch _watch{"User"};
//     _watch.start({.files = {"/var/run/utmp"}}, [this] { announce(); });
//     ...
//     _watch.stop();  // wakes the thread and waits until it let go of the watch
//
// A file whose directory cannot be watched, a kernel file that cannot be
// opened or a udev monitor that cannot be made is left out with an INFO line;
// the watch runs with what is left, and without anything to watch it does not
// start. A source that comes and goes and is away at the start is an INFO
// line too, and is waited for.
#pragma once

#include "base/ChangeSource.h"
#include "base/Descriptor.h"
#include "base/FileEvents.h"
#include "base/Udev.h"
#include "base/WatchThread.h"
#include "base/XEvents.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <memory>
#include <string>
#include <vector>

namespace Base {

class ChangeWatch {
public:
    // `name` names the watch in its log lines.
    explicit ChangeWatch(std::string name);
    ~ChangeWatch() { stop(); }
    ChangeWatch(const ChangeWatch&) = delete;
    ChangeWatch& operator=(const ChangeWatch&) = delete;

    struct Sources {
        std::vector<std::string> files{};           // absolute paths
        std::vector<std::string> announcing{};      // pollable kernel files
        std::vector<std::string> udevSubsystems{};  // such as "input"
        std::vector<std::string> busServices{};     // such as "org.freedesktop.UPower" (see BusSignals)
        // The kernel's links, addresses and routes (netlink), in the network
        // namespace of the thread that starts the watch.
        bool networkInterfaces = false;
        XEvents::Announcements display{};           // what of the X display's events (see XEvents)
        // Any other source that may come and go, such as the smart card service.
        std::vector<std::shared_ptr<ChangeSource>> others{};
    };

    // Starts watching `sources`; false when nothing could be watched or the
    // thread did not start. A watch that runs already is left as it is.
    // Returns once the sources that come and go were tried.
    bool start(const Sources& sources, std::function<void()> changed);
    // start() in two steps, so that several watches connect at once: begin()
    // returns as soon as the thread runs, and awaitStart() once its sources
    // that come and go were tried (at most a second after begin()).
    bool begin(const Sources& sources, std::function<void()> changed);
    void awaitStart();
    // Whether awaitStart() would return at once.
    bool started() const;

    // Ends the watch, if any: once it returns, the thread touches nothing of
    // the watch's; its descriptors are closed and its directories let go of
    // (the process's one inotify instance stays, see FileEvents).
    void stop();
    // Asks the watch to end without waiting for it, so that several watches
    // end side by side; stop() then waits until its thread let go.
    // The watched directories are let go first (see unwatchFiles()). Once it
    // returns, no change is reported any more: a report under way on the
    // watch's thread has ended.
    void requestStop();

    bool running() const { return _thread.running(); }

    // Whether the watch has seen everything since a moment: `generation`
    // grows with every change it announces and every source it loses;
    // `complete` holds while it runs with every one of its sources in place,
    // or not there at all and announced when it comes (ChangeSource::absent).
    // A reading taken at generation G while complete still holds while both
    // stay so (see KeptWhileQuiet).
    struct Quiet {
        std::atomic<std::uint64_t> generation{0};
        std::atomic<bool> complete{false};
    };
    std::shared_ptr<const Quiet> quiet() const { return _quiet; }

private:
    // A source that comes and goes, and its slot among the descriptors.
    struct Comer {
        std::shared_ptr<ChangeSource> source;
        bool connected = false;
        bool missed = false;  // its absence was logged
    };

    void report();
    bool react(std::span<pollfd> descriptors);
    bool take(std::span<pollfd> descriptors);
    bool takeComer(Comer& comer, pollfd& descriptor);
    bool connectComers(std::span<pollfd> descriptors, bool announce);
    void disconnectComers();
    bool readEvents();
    void watchUdev(const std::vector<std::string>& subsystems);
    void watchNetlink();
    void unwatchFiles();
    void close();

    void updateQuiet(std::span<const pollfd> descriptors);

    const std::string _name;
    const std::shared_ptr<Quiet> _quiet = std::make_shared<Quiet>();
    WatchThread _thread;
    std::function<void()> _changed;
    // Held while a change is reported, so that requestStop() can wait for a
    // report under way.
    std::mutex _reportMutex;
    std::future<void> _tried;  // set by the thread once its comers were tried
    std::chrono::steady_clock::time_point _triedBy;
    std::unique_ptr<FileEvents::Subscription> _files;  // of the process's inotify instance
    std::map<int, std::vector<std::string>> _names;  // inotify watch -> the file names watched in its directory
    // Guards _files, let go of from the owner's thread while the watch's
    // thread still takes its events.
    std::mutex _filesMutex;
    std::vector<Descriptor> _announcing;
    Descriptor _netlink;
    UdevHandle _udev;
    UdevMonitorHandle _udevMonitor;
    std::vector<Comer> _comers;
    std::size_t _firstComer = 0;  // the slot of the first comer among the descriptors
};

}  // namespace Base
