// A real pcscd for one test, with readers of the virtual smart-card reader
// driver (vsmartcard's vpcd) or with none.
//
// pcscd keeps its socket and PID file at the fixed path /run/pcscd. Each
// daemon runs in a mount namespace of its own, where this process's socket
// directory is bound over /run, so it never touches the machine's /run and
// several test processes can run side by side. pcsc-lite's client in the test
// process finds the socket through PCSCLITE_CSOCK_NAME, which the library
// reads only once per process: `nameSocketForThisProcess` must run before the
// first smart-card read of the process (a namespace-scope initialiser of the
// test file does it before main).
#pragma once

#include "support/TempDir.h"

#include <sys/types.h>

#include <string>

namespace TestSupport {

class PcscDaemon {
public:
    enum class Readers {
        None,        // a daemon without readers
        TwoVirtual,  // "Virtual PCD 00 00" and "Virtual PCD 00 01"
    };

    // Starts pcscd and returns once it accepts clients, its configured
    // readers already in place. Throws std::runtime_error, with the daemon's
    // own output, when it cannot start. The daemon also ends when the thread
    // that made it ends: make it on the test's own thread.
    explicit PcscDaemon(Readers readers);
    // Stops the daemon (SIGTERM) and waits for it.
    ~PcscDaemon();

    PcscDaemon(const PcscDaemon&) = delete;
    PcscDaemon& operator=(const PcscDaemon&) = delete;

    // Everything pcscd wrote to its standard output and error so far.
    std::string output() const;

    // Creates this process's socket directory (once; removed when the
    // process exits) and sets PCSCLITE_CSOCK_NAME to the socket in it.
    // Returns the socket's path.
    static std::string nameSocketForThisProcess();

private:
    TempDir _files;  // reader configuration and pcscd's output
    pid_t _pid = -1;
};

// The number of open sockets of this process: a pcsc-lite context holds one
// connection to pcscd from establishing to release.
int openSocketCount();

}  // namespace TestSupport
