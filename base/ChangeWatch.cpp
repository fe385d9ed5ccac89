// SPDX-License-Identifier: Apache-2.0
#include "base/ChangeWatch.h"

#include "base/BusSignals.h"
#include "base/Logging.h"

#include <fcntl.h>
#include <limits.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <filesystem>
#include <future>

namespace Base {

namespace {

// What happens to a file inside a watched directory that may change its content.
constexpr uint32_t kDirectoryEvents =
    IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ONLYDIR;

// Reads what a kernel file holds, which also takes its announcement: poll()
// reports it again only after the next change.
void rearm(int descriptor)
{
    char buffer[256];
    if (lseek(descriptor, 0, SEEK_SET) == 0) {
        while (read(descriptor, buffer, sizeof(buffer)) > 0) {
        }
    }
}

// How long a change takes to settle, and how long at most it is waited for.
constexpr int kSettleMilliseconds = 25;
constexpr int kSettleRounds = 20;

// How long awaitStart() waits for the sources that come and go to be tried.
constexpr int kFirstConnectMilliseconds = 1000;

}  // namespace

ChangeWatch::ChangeWatch(std::string name) : _name(std::move(name)), _thread({"change watch thread", "change watch thread"}) {}

bool ChangeWatch::start(const Sources& sources, std::function<void()> changed)
{
    if (!begin(sources, std::move(changed))) {
        return false;
    }
    awaitStart();
    return true;
}

void ChangeWatch::awaitStart()
{
    if (_tried.valid()) {
        _tried.wait_until(_triedBy);
        _tried = {};
    }
}

bool ChangeWatch::started() const
{
    return !_tried.valid() || _tried.wait_for(std::chrono::seconds(0)) == std::future_status::ready ||
           std::chrono::steady_clock::now() >= _triedBy;
}

bool ChangeWatch::begin(const Sources& sources, std::function<void()> changed)
{
    if (_thread.running()) {
        return true;
    }
    close();
    TRACE_FUNCTION("ChangeWatch::start");
    const std::vector<std::string>& files = sources.files;
    if (!files.empty()) {
        _files = std::make_unique<FileEvents::Subscription>();
        if (!*_files) {
            TRACE_INFO << "Not watching the files of [" << _name << "]: inotify failed error ["
                       << std::strerror(errno) << "]" << std::endl;
        }
    }
    for (const std::string& file : _files && *_files ? files : std::vector<std::string>()) {
        const std::filesystem::path path(file);
        const int watch = _files->watch(path.parent_path(), kDirectoryEvents);
        if (watch < 0) {
            TRACE_INFO << "Not watching [" << file << "] for [" << _name << "] error [" << std::strerror(errno) << "]"
                       << std::endl;
            continue;
        }
        _names[watch].push_back(path.filename());
    }
    for (const std::string& file : sources.announcing) {
        Descriptor descriptor(open(file.c_str(), O_RDONLY | O_CLOEXEC));
        if (!descriptor) {
            TRACE_INFO << "Not watching [" << file << "] for [" << _name << "] error [" << std::strerror(errno) << "]"
                       << std::endl;
            continue;
        }
        rearm(descriptor.get());
        _announcing.push_back(std::move(descriptor));
    }
    if (!sources.udevSubsystems.empty()) {
        watchUdev(sources.udevSubsystems);
    }
    if (sources.networkInterfaces) {
        watchNetlink();
    }
    for (const std::string& service : sources.busServices) {
        _comers.push_back(Comer{std::make_shared<BusSignals>(service)});
    }
    if (sources.display.screens || sources.display.keyboardGroup) {
        _comers.push_back(Comer{std::make_shared<XEvents>(sources.display)});
    }
    for (const std::shared_ptr<ChangeSource>& source : sources.others) {
        if (source) {
            _comers.push_back(Comer{source});
        }
    }
    if (_names.empty() && _announcing.empty() && !_udevMonitor && !_netlink && _comers.empty()) {
        close();
        return false;
    }
    _changed = std::move(changed);
    // The sources that come and go connect on the thread; awaitStart() returns
    // once each was tried, so what changes from then on is seen (a source that
    // takes long to answer is not waited for).
    auto opened = std::make_shared<std::promise<void>>();
    _tried = opened->get_future();
    _triedBy = std::chrono::steady_clock::now() + std::chrono::milliseconds(kFirstConnectMilliseconds);
    const bool started = _thread.start({
        .wakeFailed = [](int) { return true; },
        .startFailed =
            [this](const char* what) {
                TRACE_ERROR << "Failed to start the file watch of [" << _name << "] error [" << what << "]"
                            << std::endl;
            },
        .open =
            [this, opened](std::vector<pollfd>& descriptors) {
                if (_files && !_names.empty()) {
                    descriptors.push_back(pollfd{_files->instance(), POLLIN, 0});
                    descriptors.push_back(pollfd{_files->wake(), POLLIN, 0});
                }
                for (const Descriptor& descriptor : _announcing) {
                    descriptors.push_back(pollfd{descriptor.get(), POLLPRI | POLLERR, 0});
                }
                if (_udevMonitor) {
                    descriptors.push_back(pollfd{udev_monitor_get_fd(_udevMonitor.get()), POLLIN, 0});
                }
                if (_netlink) {
                    descriptors.push_back(pollfd{_netlink.get(), POLLIN, 0});
                }
                _firstComer = descriptors.size();
                descriptors.resize(descriptors.size() + _comers.size(), pollfd{-1, POLLIN, 0});
                connectComers(descriptors, false);
                updateQuiet(descriptors);
                opened->set_value();
                return true;
            },
        .ready = [this](std::span<pollfd> descriptors) { return react(descriptors); },
        .idle =
            [this](std::span<pollfd> descriptors) {
                const bool back = connectComers(descriptors, true);
                if (back) {
                    ++_quiet->generation;
                }
                updateQuiet(descriptors);
                if (back) {
                    report();
                }
                return true;
            },
        .pollFailed =
            [this](int error) {
                TRACE_ERROR << "Failed to wait for the files of [" << _name << "] error [" << std::strerror(error)
                            << "]" << std::endl;
            },
        .closed =
            [this](bool) {
                disconnectComers();
                close();
            },
        .aborted =
            [this](const char* what) {
                TRACE_ERROR << "File watch of [" << _name << "] ended by [" << what << "]" << std::endl;
                disconnectComers();
                close();
            },
    });
    if (!started) {
        close();
        _tried = {};
        return false;
    }
    return true;
}

// On the watch's thread. A watch asked to stop reports nothing more, though
// the change it was settling came before the request.
void ChangeWatch::report()
{
    const std::lock_guard<std::mutex> lock(_reportMutex);
    if (!_changed || _thread.stopRequested()) {
        return;
    }
    try {
        _changed();
    } catch (const std::exception& error) {
        TRACE_ERROR << "Failed to report changes of [" << _name << "] error [" << error.what() << "]" << std::endl;
    }
}

bool ChangeWatch::react(std::span<pollfd> descriptors)
{
    // A change seldom comes alone (a file written and closed, a link removed
    // and made again): what follows within a moment is the same change.
    bool changed = take(descriptors);
    if (changed) {
        ++_quiet->generation;
    }
    for (int round = 0; changed && round < kSettleRounds; ++round) {
        if (!_thread.pollMore(descriptors, kSettleMilliseconds)) {
            break;
        }
        if (take(descriptors)) {
            ++_quiet->generation;
        }
    }
    updateQuiet(descriptors);
    if (changed) {
        report();
    }
    return !_comers.empty() ||
           std::any_of(descriptors.begin(), descriptors.end(), [](const pollfd& d) { return d.fd >= 0; });
}

bool ChangeWatch::take(std::span<pollfd> descriptors)
{
    bool changed = false;
    for (std::size_t slot = 0; slot < descriptors.size(); ++slot) {
        pollfd& descriptor = descriptors[slot];
        if (descriptor.revents == 0 || descriptor.fd < 0) {
            continue;
        }
        if (slot >= _firstComer && slot - _firstComer < _comers.size()) {
            changed = takeComer(_comers[slot - _firstComer], descriptor) || changed;
        } else if (_netlink && descriptor.fd == _netlink.get()) {
            // Whatever the kernel says, or an overrun of the socket's buffer, is a change.
            char buffer[8192];
            for (int taken = 0; taken < 1000 && (recv(_netlink.get(), buffer, sizeof(buffer), MSG_DONTWAIT) > 0 ||
                                                 errno == ENOBUFS);) {
                ++taken;
            }
            changed = true;
        } else if (_files && (descriptor.fd == _files->instance() || descriptor.fd == _files->wake())) {
            changed = readEvents() || changed;
            if (_names.empty()) {
                for (pollfd& files : descriptors) {
                    if (files.fd == _files->instance() || files.fd == _files->wake()) {
                        files.fd = -1;
                    }
                }
            }
        } else if (_udevMonitor && descriptor.fd == udev_monitor_get_fd(_udevMonitor.get())) {
            // An error is an overrun of the socket's buffer: events were lost, which is a change too.
            for (int taken = 0; taken < 1000 && UdevDeviceHandle(udev_monitor_receive_device(_udevMonitor.get()));) {
                ++taken;
            }
            if ((descriptor.revents & (POLLHUP | POLLNVAL)) != 0) {
                TRACE_INFO << "No longer watching udev for [" << _name << "]: its monitor failed" << std::endl;
                descriptor.fd = -1;
            }
            changed = true;
        } else {
            rearm(descriptor.fd);
            changed = true;
        }
        descriptor.revents = 0;
    }
    return changed;
}

bool ChangeWatch::takeComer(Comer& comer, pollfd& descriptor)
{
    const ChangeSource::Taken taken = comer.source->take();
    if (taken != ChangeSource::Taken::lost) {
        return taken == ChangeSource::Taken::changed;
    }
    TRACE_INFO << "No longer watching " << comer.source->what() << " for [" << _name
               << "]: it went away; watching it again when it comes back" << std::endl;
    comer.source->disconnect();
    comer.connected = false;
    comer.missed = true;
    descriptor.fd = -1;
    return true;
}

// Connects every source that is away; true when one came back (`announce`:
// after it was away).
bool ChangeWatch::connectComers(std::span<pollfd> descriptors, bool announce)
{
    bool back = false;
    for (std::size_t index = 0; index < _comers.size() && _firstComer + index < descriptors.size(); ++index) {
        Comer& comer = _comers[index];
        if (comer.connected) {
            continue;
        }
        std::string why;
        const int descriptor = comer.source->connect(why);
        if (descriptor < 0) {
            if (!comer.missed) {
                TRACE_INFO << "Not watching " << comer.source->what() << " for [" << _name << "] for now: " << why
                           << "; watching it when it comes" << std::endl;
                comer.missed = true;
            }
            continue;
        }
        if (comer.missed) {
            TRACE_INFO << "Watching " << comer.source->what() << " for [" << _name << "] again" << std::endl;
        }
        back = back || (announce && comer.missed);
        comer.connected = true;
        comer.missed = false;
        descriptors[_firstComer + index].fd = descriptor;
    }
    return back;
}

void ChangeWatch::disconnectComers()
{
    for (Comer& comer : _comers) {
        if (comer.connected) {
            comer.source->disconnect();
            comer.connected = false;
        }
    }
}

// Takes every event of this watch's directories; true when one concerns a
// watched file, or events were lost.
bool ChangeWatch::readEvents()
{
    bool changed = false;
    for (const FileEvents::Event& event : _files->take()) {
        const auto watched = _names.find(event.watch);
        if ((event.mask & IN_Q_OVERFLOW) != 0) {
            changed = true;
        } else if ((event.mask & IN_IGNORED) != 0 && watched != _names.end()) {
            TRACE_INFO << "No longer watching [" << watched->second.front() << "] for [" << _name
                       << "]: its directory went away" << std::endl;
            _names.erase(watched);
            changed = true;
        } else if (watched != _names.end() &&
                   std::find(watched->second.begin(), watched->second.end(), event.name) != watched->second.end()) {
            changed = true;
        }
    }
    return changed;
}

void ChangeWatch::watchUdev(const std::vector<std::string>& subsystems)
{
    _udev.reset(udev_new());
    _udevMonitor.reset(_udev ? udev_monitor_new_from_netlink(_udev.get(), "udev") : nullptr);
    bool filtered = static_cast<bool>(_udevMonitor);
    for (const std::string& subsystem : subsystems) {
        filtered = filtered && udev_monitor_filter_add_match_subsystem_devtype(_udevMonitor.get(), subsystem.c_str(),
                                                                               nullptr) >= 0;
    }
    if (!filtered || udev_monitor_enable_receiving(_udevMonitor.get()) < 0) {
        TRACE_INFO << "Not watching udev for [" << _name << "]: no udev monitor" << std::endl;
        _udevMonitor.reset();
        _udev.reset();
    }
}

void ChangeWatch::watchNetlink()
{
    _netlink.reset(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE));
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
    if (!_netlink || bind(_netlink.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        TRACE_INFO << "Not watching the network interfaces for [" << _name << "] error [" << std::strerror(errno)
                   << "]" << std::endl;
        _netlink.reset();
    }
}

// The watched directories are let go of on the caller's thread, so that the
// watches asked to stop are retired by the kernel together.
void ChangeWatch::unwatchFiles()
{
    const std::lock_guard<std::mutex> lock(_filesMutex);
    if (_files) {
        _files->unwatchAll();
    }
}

void ChangeWatch::requestStop()
{
    unwatchFiles();
    _thread.requestStop();
    if (!_thread.onThread()) {
        // A report under way ends before this returns; any later one sees the request.
        const std::lock_guard<std::mutex> lock(_reportMutex);
    }
}

void ChangeWatch::stop()
{
    unwatchFiles();
    _thread.stop();
    close();
}

void ChangeWatch::updateQuiet(std::span<const pollfd> descriptors)
{
    // A source away or given up has its slot at -1. One that is not there at
    // all (no bus, no display) counts as in place: what it would announce
    // cannot be read either, and its coming is announced.
    const auto inPlace = [this, descriptors](std::size_t slot) {
        const bool comer = slot >= _firstComer && slot - _firstComer < _comers.size();
        return descriptors[slot].fd >= 0 || (comer && _comers[slot - _firstComer].source->absent());
    };
    bool complete = !descriptors.empty();
    for (std::size_t slot = 0; complete && slot < descriptors.size(); ++slot) {
        complete = inPlace(slot);
    }
    _quiet->complete = complete;
}

void ChangeWatch::close()
{
    _quiet->complete = false;
    _comers.clear();
    _firstComer = 0;
    _names.clear();
    _announcing.clear();
    _netlink.reset();
    {
        const std::lock_guard<std::mutex> lock(_filesMutex);
        _files.reset();
    }
    _udevMonitor.reset();
    _udev.reset();
}

}  // namespace Base
