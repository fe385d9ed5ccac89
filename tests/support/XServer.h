// SPDX-License-Identifier: Apache-2.0
// A real X server for a test, on a free display number and its Unix socket
// only, ended with the object (or the test process): Xvfb (by default output
// "screen", 1920x1080 at depth 24 and 100 dots per inch), or Xorg with the dummy
// driver (DUMMY0 at 1024x768 and 96 dpi; DUMMY1 to 15 without modes).
#pragma once

#include "base/XcbXkb.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"
#include <fcntl.h>
#include <cstdlib>
#include <unistd.h>
#include <stdexcept>
#include <utility>

namespace TestSupport {

class XServer {
public:
    explicit XServer(std::vector<std::string> options = {"-screen", "0", "1920x1080x24"}, bool dummyXorg = false)
    {
        std::vector<std::string> line{"/usr/bin/Xvfb"};
        if (dummyXorg) {  // without input devices, which would be the machine's own
            line = {"/usr/bin/Xorg", "-logfile", _files.file("xorg.log"), "-config",
                    _files.write("xorg.conf", "Section \"ServerFlags\" Option \"AutoAddDevices\" \"false\" EndSection\n"
                                              "Section \"Device\" Identifier \"d\" Driver \"dummy\" VideoRam 64000 EndSection\n"
                                              "Section \"Monitor\" Identifier \"m\" HorizSync 5-1000 VertRefresh 5-200"
                                              " EndSection\nSection \"Screen\" Identifier \"s\" Device \"d\" Monitor"
                                              " \"m\" SubSection \"Display\" Modes \"1024x768\" EndSubSection"
                                              " EndSection\n")};
        }
        line.insert(line.end(), {"-displayfd", "3", "-nolisten", "tcp", "-noreset"});
        line.insert(line.end(), options.begin(), options.end());
        int ready[2];
        if (pipe2(ready, O_CLOEXEC) != 0) throw std::runtime_error("cannot start " + line[0]);
        _pid = startChild(line, {{3, ready[1]}});
        close(ready[1]);
        // The server writes its display number once it accepts clients.
        _display = ":" + readFirstLine(ready[0], std::chrono::seconds(30)).value_or("");
        close(ready[0]);
        if (_display == ":") {
            stop();
            throw std::runtime_error(line[0] + " did not start (its output is above)");
        }
    }
    ~XServer() { stop(); }
    const std::string& display() const { return _display; }  // for DISPLAY
    // Ends the server (its clients lose their connections) and waits for it.
    void stop() { stopChild(std::exchange(_pid, -1)); }

private:
    TempDir _files;
    pid_t _pid = -1;
    std::string _display;
};

// Locks keyboard group `group` (from 0) of the display DISPLAY names, as a
// group switch key does; true once the server's state has it.
inline bool lockKeyboardGroup(int group)
{
    xcb_connection_t* x = xcb_connect(nullptr, nullptr);
    bool locked = xcb_connection_has_error(x) == 0;
    std::free(xcb_xkb_use_extension_reply(x, xcb_xkb_use_extension(x, 1, 0), nullptr));
    xcb_xkb_latch_lock_state(x, XCB_XKB_ID_USE_CORE_KBD, 0, 0, 1, static_cast<int8_t>(group), 0, 0, 0);
    xcb_xkb_get_state_reply_t* state = xcb_xkb_get_state_reply(x, xcb_xkb_get_state(x, XCB_XKB_ID_USE_CORE_KBD), nullptr);
    locked = locked && state != nullptr && state->group == group;
    std::free(state);
    xcb_disconnect(x);
    return locked;
}

}  // namespace TestSupport
