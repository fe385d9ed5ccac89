// A real X server (Xvfb, see XServer) for keyboard tests: started with a
// keyboard layout of several groups, its active group locked on request.
#pragma once

#include "support/XServer.h"

#include <string>

namespace TestSupport {

class KeyboardXServer {
public:
    // Starts Xvfb on a free display number and returns once it accepts
    // clients, with the layouts `layouts` (setxkbmap's "-layout", such as
    // "us,de") in place. Throws std::runtime_error, with the server's or
    // setxkbmap's own output, when it cannot start.
    explicit KeyboardXServer(const std::string& layouts);

    // The display name, such as ":3", for DISPLAY.
    const std::string& display() const { return _server.display(); }

    // Locks keyboard group `group` (from 0) and returns once the server
    // reports it active.
    void lockGroup(int group) const;

    // Everything the server wrote to its standard output and error so far.
    std::string output() const { return _server.output(); }

private:
    XServer _server{XServer::Kind::VirtualFramebuffer};
};

}  // namespace TestSupport
