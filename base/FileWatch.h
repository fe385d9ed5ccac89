// A watch of files on a thread of its own, for providers whose source is a
// file: files by name, through inotify on the directory that holds each (so a
// file written, replaced by a rename or a new link, removed or made again
// counts), and kernel files that announce their changes through poll(), as
// /proc/sys/kernel/hostname does. Whatever one wake-up of the thread brings, with
// what follows within 25 ms, is one change: `changed` runs once for it, on the
// watch's thread.
//
//     Base::FileWatch _watch{"User"};
//     _watch.start({"/var/run/utmp"}, {}, [this] { announce(); });
//     ...
//     _watch.stop();  // wakes and joins the thread, closes every descriptor
//
// A file whose directory cannot be watched, or a kernel file that cannot be
// opened, is left out with an INFO line; the watch runs with what is left, and
// without anything to watch it does not start.
#pragma once

#include "base/Descriptor.h"
#include "base/WatchThread.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace Base {

class FileWatch {
public:
    // `name` names the watch in its log lines.
    explicit FileWatch(std::string name);
    ~FileWatch() { stop(); }
    FileWatch(const FileWatch&) = delete;
    FileWatch& operator=(const FileWatch&) = delete;

    // Starts watching `files` (absolute paths) and the pollable kernel files
    // `announcing`; false when nothing could be watched or the thread did not
    // start. A watch that runs already is left as it is.
    bool start(const std::vector<std::string>& files, const std::vector<std::string>& announcing,
               std::function<void()> changed);

    // Ends the watch, if any, and closes its descriptors.
    void stop();

    bool running() const { return _thread.running(); }

private:
    bool react(std::span<pollfd> descriptors);
    bool take(std::span<pollfd> descriptors);
    bool readEvents();
    void close();

    const std::string _name;
    WatchThread _thread;
    std::function<void()> _changed;
    Descriptor _inotify;
    std::map<int, std::vector<std::string>> _names;  // inotify watch -> the file names watched in its directory
    std::vector<Descriptor> _announcing;
};

}  // namespace Base
