// SPDX-License-Identifier: Apache-2.0
#include "base/XConnection.h"

#include "base/Guard.h"
#include "base/Logging.h"

#include <map>
#include <mutex>

// Last: Xlib's internal header (the extension hooks) defines short macros.
#include <X11/Xlibint.h>

namespace Base {

namespace {

// The connections of this file that are open, and the I/O error handler that
// was in place before the first of them opened.
struct OpenConnections {
    std::mutex mutex;
    std::map<Display*, bool> lost;  // every open connection: whether it broke
    XIOErrorHandler previous = nullptr;
};

OpenConnections& openConnections()
{
    // Never destroyed: a connection may still close while the process exits.
    static OpenConnections* connections = new OpenConnections;
    return *connections;
}

// Process-wide while a connection is open. Returns for this file's
// connections; every other display goes to the handler that was there before.
int handleLostConnection(Display* display)
{
    XIOErrorHandler previous = nullptr;
    bool ours = false;
    Base::guarded(__func__, [&] {
        OpenConnections& connections = openConnections();
        const std::lock_guard<std::mutex> lock(connections.mutex);
        const auto found = connections.lost.find(display);
        if (found != connections.lost.end()) {
            found->second = true;
            ours = true;
        }
        previous = connections.previous;
    });
    if (!ours) {
        return previous != nullptr ? previous(display) : 0;
    }
    Base::guarded(__func__, [&] {
        TRACE_FUNCTION("handleLostConnection");
        const char* name = DisplayString(display);
        TRACE_ERROR << "Lost the connection to X display [" << (name != nullptr ? name : "") << "]" << std::endl;
    });
    return 0;
}

// In place of Xlib's default, which ends the process after a lost connection.
void keepRunning(Display*, void*) {}

// Takes the errors of the connection's own requests, so Xlib's process-wide
// error handler (by default: print and exit) never sees them. The failed
// request's function returns its failure value.
int suppressRequestError(Display*, xError* error, XExtCodes*, int* result)
{
    Base::guarded(__func__, [&] {
        TRACE_FUNCTION("suppressRequestError");
        TRACE_WARNING << "X request [" << static_cast<int>(error->majorCode) << "."
                      << static_cast<int>(error->minorCode) << "] failed error ["
                      << static_cast<int>(error->errorCode) << "]" << std::endl;
    });
    *result = 0;
    return True;
}

void track(Display* display)
{
    OpenConnections& connections = openConnections();
    const std::lock_guard<std::mutex> lock(connections.mutex);
    if (connections.lost.empty()) {
        connections.previous = XSetIOErrorHandler(handleLostConnection);
    }
    connections.lost.emplace(display, false);
}

void untrack(Display* display)
{
    OpenConnections& connections = openConnections();
    const std::lock_guard<std::mutex> lock(connections.mutex);
    connections.lost.erase(display);
    if (connections.lost.empty()) {
        const XIOErrorHandler current = XSetIOErrorHandler(connections.previous);
        if (current != handleLostConnection) {
            // The process installed a handler of its own meanwhile: it stays.
            XSetIOErrorHandler(current);
        }
        connections.previous = nullptr;
    }
}

}  // namespace

XConnection::XConnection() : _display(XOpenDisplay(nullptr))
{
    if (_display == nullptr) {
        return;
    }
    XSetIOErrorExitHandler(_display, keepRunning, nullptr);
    if (XExtCodes* codes = XAddExtension(_display)) {
        XESetError(_display, codes->extension, suppressRequestError);
    }
    track(_display);
}

XConnection::~XConnection()
{
    if (_display != nullptr) {
        XCloseDisplay(_display);
        untrack(_display);
    }
}

bool XConnection::lost() const
{
    if (_display == nullptr) {
        return false;
    }
    OpenConnections& connections = openConnections();
    const std::lock_guard<std::mutex> lock(connections.mutex);
    const auto found = connections.lost.find(_display);
    return found != connections.lost.end() && found->second;
}

}  // namespace Base
