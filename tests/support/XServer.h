// A real X server for one test: Xvfb, or Xorg with the dummy video driver,
// whose outputs can be connected and arranged with xrandr.
//
// The server picks a free display number itself (-displayfd) and listens on
// its Unix socket only. It is stopped by its PID when the object goes, and
// also ends when the thread that made it ends: make it on the test's thread.
#pragma once

#include "support/TempDir.h"

#include <sys/types.h>

#include <string>
#include <vector>

namespace TestSupport {

class XServer {
public:
    enum class Kind {
        // Xvfb with one 1920x1080 screen of depth 24 at 100 dots per inch:
        // one connected output, "screen".
        VirtualFramebuffer,
        // The same with a screen of 0 mm by 0 mm (a resolution so high that
        // the physical size rounds to nothing).
        VirtualFramebufferWithoutPhysicalSize,
        // Xorg with the dummy driver: a screen of depth 24 at 96 dots per
        // inch, output DUMMY0 connected at 1024x768, DUMMY1 to DUMMY15
        // disconnected until a mode is added to them and switched on.
        DummyOutputs,
    };

    // Starts the server and returns once it accepts clients. Throws
    // std::runtime_error, with the server's output, when it cannot start.
    explicit XServer(Kind kind);
    // Stops the server (SIGTERM) and waits for it.
    ~XServer();

    XServer(const XServer&) = delete;
    XServer& operator=(const XServer&) = delete;

    // The display name for DISPLAY, ":N".
    const std::string& display() const { return _display; }

    // Runs an X client command line (for example "xrandr --query") against
    // this server and gives its standard output and error. Throws
    // std::runtime_error when it fails.
    std::string run(const std::string& command) const;

    // Ends the server at once (SIGKILL) and waits for it.
    void kill();

    // Everything the server wrote to its standard output and error so far.
    std::string output() const;

private:
    void start(std::vector<std::string> arguments);

    TempDir _files;  // configuration, log and output
    pid_t _pid = -1;
    std::string _display;
};

}  // namespace TestSupport
