// SPDX-License-Identifier: Apache-2.0
// A source of change announcements that may be missing, go away and come
// back: a service on the system bus, an X display, the smart card service. A
// change watch connects it on the watch's own thread, polls its descriptor,
// and while it is away tries again to connect it about once a second.
//
// Every call comes from the watch's thread: a source may hold what must be
// used on one thread only (an X connection).
#pragma once

#include <string>

namespace Base {

class ChangeSource {
public:
    enum class Taken { nothing, changed, lost };

    ChangeSource() = default;
    virtual ~ChangeSource() = default;
    ChangeSource(const ChangeSource&) = delete;
    ChangeSource& operator=(const ChangeSource&) = delete;

    // What the log lines call the source, such as "the X display".
    virtual std::string what() const = 0;

    // Connects and asks for announcements: the descriptor to poll for input,
    // or -1 with `why` set when the source is not there.
    virtual int connect(std::string& why) = 0;

    // Takes what the descriptor brought: whether it announced a change, or
    // the source went away (then it is disconnected next).
    virtual Taken take() = 0;

    // Lets go of the source; a later connect() may follow.
    virtual void disconnect() = 0;

    // After a connect() that failed: whether the source is not there at all
    // (no bus, no display), so that no reading can reach it either, and its
    // coming is announced; false when it is there but refused what the watch
    // asked for, or when that cannot be told.
    virtual bool absent() const { return false; }
};

}  // namespace Base
