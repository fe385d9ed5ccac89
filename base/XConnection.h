// SPDX-License-Identifier: Apache-2.0
// A connection to the default X display for one piece of work on one thread,
// made so that nothing the X server does once it is open can end the hosting
// process.
//
// Xlib's defaults call exit() on a failed request and on a lost connection.
// This connection instead:
//  - suppresses and logs the errors of its own requests, through an error hook
//    of its own display (no process-wide handler): the request's function
//    then returns its failure value (a null pointer, a zero status);
//  - survives a lost connection: while at least one such connection is open,
//    a process-wide I/O error handler is in place that returns for these
//    connections and hands every other display to the handler that was there
//    before; the last connection to close puts that handler back (unless the
//    process has installed yet another one meanwhile, which then stays).
//    After a lost connection every request fails at once. A server lost
//    during the round trips of XOpenDisplay itself still ends the process:
//    Xlib's exit handler of a display cannot be replaced before XOpenDisplay
//    returns it;
//  - blocks SIGPIPE on the calling thread while it is open, so a write to a
//    server that has just gone away fails instead of raising the signal.
//
// Connections are never shared between threads: open, use and close one on
// the same thread.
//
//     Base::XConnection connection;
//     if (!connection) { ... no display ... }
//     XRRGetScreenResourcesCurrent(connection.get(), root);
#pragma once

#include "base/ThreadSigpipeBlock.h"

#include <X11/Xlib.h>

namespace Base {

class XConnection {
public:
    // Opens the display that the DISPLAY environment variable names.
    XConnection();
    ~XConnection();

    XConnection(const XConnection&) = delete;
    XConnection& operator=(const XConnection&) = delete;

    Display* get() const { return _display; }
    explicit operator bool() const { return _display != nullptr; }

    // Whether the connection to the server broke (all requests fail since).
    bool lost() const;

private:
    // First: in place before the connection opens, until after it closed.
    ThreadSigpipeBlock _noSigpipe;
    Display* _display = nullptr;
};

}  // namespace Base
