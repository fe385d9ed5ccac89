// A real X server (Xvfb) for keyboard tests: started with a keyboard layout
// of several groups, its active group locked on request.
#pragma once

#include "support/TempDir.h"

#include <sys/types.h>

#include <string>
#include <vector>

namespace TestSupport {

class KeyboardXServer {
public:
    // Starts Xvfb on a free display number and returns once it accepts
    // clients, with the layouts `layouts` (setxkbmap's "-layout", such as
    // "us,de") in place. Throws std::runtime_error, with the server's own
    // output, when it cannot start.
    explicit KeyboardXServer(const std::string& layouts);
    // Stops the server (SIGTERM) and waits for it.
    ~KeyboardXServer();

    KeyboardXServer(const KeyboardXServer&) = delete;
    KeyboardXServer& operator=(const KeyboardXServer&) = delete;

    // The display name, such as ":3", for DISPLAY.
    const std::string& display() const { return _display; }

    // Locks keyboard group `group` (from 0) and returns once the server
    // reports it active.
    void lockGroup(int group) const;

    // Everything the server wrote to its standard output and error so far.
    std::string output() const;

private:
    TempDir _files;  // the server's output
    pid_t _pid = -1;
    std::string _display;
};

}  // namespace TestSupport
