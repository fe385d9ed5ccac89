// SPDX-License-Identifier: Apache-2.0
// A connection to the default X display for one piece of work on one thread,
// made through xcb so that nothing the X server does can end the hosting
// process, nor touch the process's own Xlib handlers.
//
// xcb never exits and installs no process-wide handler:
//  - a failed request gives no reply and an error, which this connection
//    logs as a WARNING ("X request [major.minor] failed error [code]");
//  - a lost connection (the server gone, even while the connection is being
//    made) makes every later request fail at once; lost() tells, and the loss
//    is logged once, as an ERROR;
//  - SIGPIPE is blocked on the calling thread while the connection is open,
//    so a write to a server that has just gone away fails instead of raising
//    the signal.
//
// A reply is checked against its own length before any list in it is read
// (fits()), so a server that claims more than it sent is refused.
//
// Connections are never shared between threads: open, use and close one on
// the same thread.
//
//     Base::XConnection connection;
//     if (!connection) { ... no display ... }
//     auto resources = connection.reply(xcb_randr_get_screen_resources_current_reply(
//         connection.get(), xcb_randr_get_screen_resources_current(connection.get(), root), connection.error()));
#pragma once

#include "base/LazyLibrary.h"
#include "base/ThreadSigpipeBlock.h"
#include "base/UniqueHandle.h"

#include <xcb/xcb.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace Base {

inline void freeXReply(void* reply)
{
    std::free(reply);
}

// A reply (or an event) that xcb handed out; the caller frees it.
template <typename T>
using XReply = UniqueHandle<T, freeXReply>;

class XConnection {
public:
    // Opens the display that the DISPLAY environment variable names.
    XConnection();
    ~XConnection();

    XConnection(const XConnection&) = delete;
    XConnection& operator=(const XConnection&) = delete;

    xcb_connection_t* get() const { return _connection.get(); }
    explicit operator bool() const { return static_cast<bool>(_connection); }
    // The screen that DISPLAY names, and every screen of the server.
    int defaultScreen() const { return _defaultScreen; }
    const xcb_setup_t* setup() const;
    // Screen `number`, or null when the server has no such screen.
    const xcb_screen_t* screen(int number) const;

    // How far an extension can be used here: the server lacks it (or did
    // not answer), refuses the version asked for, or it is ready.
    enum class Extension { missing, unsupported, ready };
    // RandR, with the version of its protocol that xcb speaks announced (the
    // server sends that version's events).
    Extension randr() const;
    // XKB 1.0, which the server must be asked to use before any other of its
    // requests.
    Extension xkb() const;

    // Whether the connection to the server broke (all requests fail since).
    bool lost() const;

    // The code a failed request is reported with when no error of the
    // server's came with it (the connection broke): X's BadImplementation.
    static constexpr int kNoAnswer = 17;

    // Where a reply function puts its error: pass it as the reply function's
    // last argument and hand the reply to reply(), which logs the error (and
    // gives its code in `code`, when asked for, kNoAnswer without one).
    xcb_generic_error_t** error() const { return &_error; }
    template <typename T>
    XReply<T> reply(T* raw, int* code = nullptr) const
    {
        XReply<T> owned(raw);
        const int taken = takeError();
        if (code != nullptr) {
            *code = taken;
        }
        return owned;
    }
    // Logs an error that came as an event (of a request sent without a reply).
    void failed(const xcb_generic_error_t& error) const;

    // Whether `bytes` bytes at `data` lie inside the reply `reply` (its fixed
    // part of 32 bytes and the 4-byte words its length counts).
    template <typename T>
    static bool fits(const T* reply, const void* data, std::size_t bytes)
    {
        return fitsReply(reply, reply != nullptr ? reply->length : 0, data, bytes);
    }

private:
    // Whether the server has the extension that `name` (such as
    // "xcb_randr_id") of `library` describes. The description is a variable
    // of the library, so it is looked up in the loaded library, not linked.
    bool has(LazyLibrary::Id library, const char* name) const;
    static bool fitsReply(const void* reply, std::uint32_t words, const void* data, std::size_t bytes);
    // Logs and frees the error of the last reply; gives its code.
    int takeError() const;

    // First: in place before the connection opens, until after it closed.
    ThreadSigpipeBlock _noSigpipe;
    UniqueHandle<xcb_connection_t, xcb_disconnect> _connection;
    int _defaultScreen = 0;
    std::string _name;  // what DISPLAY named, for the log
    mutable xcb_generic_error_t* _error = nullptr;
    mutable bool _lossLogged = false;
};

}  // namespace Base
