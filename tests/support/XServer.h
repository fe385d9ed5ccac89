// A real X server for the tests: Xvfb (by default one 1920x1080 screen of
// depth 24 at 100 dots per inch, output "screen"), or Xorg with the dummy
// driver (output DUMMY0 connected at 1024x768 and 96 dots per inch, DUMMY1 to
// DUMMY15 disconnected until given a mode). It picks a free display number,
// listens on its Unix socket only and ends with the object or the test.
#pragma once

#include "support/TempDir.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

namespace TestSupport {

class XServer {
public:
    explicit XServer(std::vector<std::string> options = {"-screen", "0", "1920x1080x24"}, bool dummyXorg = false)
    {
        std::vector<std::string> line{"/usr/bin/Xvfb"};
        if (dummyXorg) {  // no input devices: Xorg would otherwise take the machine's own
            line = {"/usr/bin/Xorg", "-logfile", _files.file("xorg.log"), "-config", _files.write("xorg.conf",
                R"(Section "ServerFlags"
  Option "AutoAddDevices" "false"
EndSection
Section "Device"
  Identifier "dummy"
  Driver "dummy"
  VideoRam 64000
EndSection
Section "Monitor"
  Identifier "monitor"
  HorizSync 5.0-1000.0
  VertRefresh 5.0-200.0
EndSection
Section "Screen"
  Identifier "screen"
  Device "dummy"
  Monitor "monitor"
  SubSection "Display"
    Depth 24
    Modes "1024x768"
  EndSubSection
EndSection
)")};
        }
        line.insert(line.end(), {"-displayfd", "3", "-nolisten", "tcp", "-noreset"});
        line.insert(line.end(), options.begin(), options.end());
        std::vector<char*> argv;
        for (std::string& argument : line) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        int ready[2];
        if (pipe2(ready, O_CLOEXEC) != 0 || (_pid = fork()) < 0) {
            throw std::runtime_error("cannot start " + line[0]);
        }
        if (_pid == 0) {  // only system calls here: the test process has threads
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            dup2(ready[1], 3);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(ready[1]);
        // The server writes its display number once it accepts clients.
        std::string number;
        char next = 0;
        while (read(ready[0], &next, 1) == 1 && next != '\n') {
            number += next;
        }
        close(ready[0]);
        if (next != '\n') {
            stop();
            throw std::runtime_error(line[0] + " did not start (its output is above)");
        }
        _display = ":" + number;
    }
    ~XServer() { stop(); }
    XServer(const XServer&) = delete;
    XServer& operator=(const XServer&) = delete;

    // The display name for DISPLAY, ":N".
    const std::string& display() const { return _display; }

    // Runs an X client command line against the server; throws when it fails.
    void run(const std::string& command) const
    {
        if (std::system(("export DISPLAY=" + _display + "; " + command).c_str()) != 0) {
            throw std::runtime_error(command + " failed");
        }
    }

    // Ends the server (its clients lose their connections) and waits for it.
    void stop()
    {
        if (_pid > 0) {
            kill(_pid, SIGTERM);
            waitpid(_pid, nullptr, 0);
            _pid = -1;
        }
    }

private:
    TempDir _files;
    pid_t _pid = -1;
    std::string _display;
};

}  // namespace TestSupport
