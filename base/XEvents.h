// SPDX-License-Identifier: Apache-2.0
// The X display's announcements, as a change source: RandR's screen, output
// and CRTC changes (a monitor connected, disconnected, switched off, a mode
// changed) and XKB's keyboard group and layouts (a group switched, a new
// keymap). No X header comes with this one. The connection is its own (xcb's,
// which no server can end the process through) and lives on the watch's
// thread; closing it also takes back every event mask it selected. A display that
// cannot be opened, or lacks the extension asked for, makes the source
// missing; a server that goes away makes it lost.
#pragma once

#include "base/ChangeSource.h"

#include <memory>

namespace Base {

class XConnection;

class XEvents : public ChangeSource {
public:
    struct Announcements {
        bool screens = false;        // RandR
        bool keyboardGroup = false;  // XKB
    };

    explicit XEvents(Announcements announcements);
    ~XEvents() override;

    std::string what() const override { return "the X display"; }
    bool absent() const override { return _absent; }
    int connect(std::string& why) override;
    Taken take() override;
    void disconnect() override;

private:
    const Announcements _announcements;
    std::unique_ptr<XConnection> _connection;
    bool _absent = false;  // the last connect() found no X display
};

}  // namespace Base
