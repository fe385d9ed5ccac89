// SPDX-License-Identifier: Apache-2.0
#include "base/XEvents.h"

#include "base/XConnection.h"

#include <X11/XKBlib.h>
#include <X11/extensions/Xrandr.h>

namespace Base {

XEvents::XEvents(Announcements announcements) : _announcements(announcements) {}

XEvents::~XEvents() = default;

int XEvents::connect(std::string& why)
{
    disconnect();
    auto connection = std::make_unique<XConnection>();
    Display* display = connection->get();
    _absent = display == nullptr;
    if (display == nullptr) {
        why = "no X display";
        return -1;
    }
    const Window root = DefaultRootWindow(display);
    if (_announcements.screens) {
        int error = 0;
        if (!XRRQueryExtension(display, &_randrEvent, &error)) {
            why = "the X server has no RandR";
            return -1;
        }
        XRRSelectInput(display, root, RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
    }
    if (_announcements.keyboardGroup) {
        int opcode = 0;
        int event = 0;
        int error = 0;
        int major = XkbMajorVersion;
        int minor = XkbMinorVersion;
        if (!XkbQueryExtension(display, &opcode, &event, &error, &major, &minor)) {
            why = "the X server has no XKB";
            return -1;
        }
        // The group in use, and a keymap loaded or its group names changed (setxkbmap).
        XkbSelectEventDetails(display, XkbUseCoreKbd, XkbStateNotify, XkbGroupStateMask, XkbGroupStateMask);
        XkbSelectEvents(display, XkbUseCoreKbd, XkbNewKeyboardNotifyMask | XkbNamesNotifyMask | XkbMapNotifyMask,
                        XkbNewKeyboardNotifyMask | XkbNamesNotifyMask | XkbMapNotifyMask);
    }
    XSync(display, False);
    if (connection->lost()) {
        why = "the X server went away";
        return -1;
    }
    _connection = std::move(connection);
    // Whatever came with the requests is no change.
    take();
    return ConnectionNumber(display);
}

ChangeSource::Taken XEvents::take()
{
    if (!_connection || _connection->lost()) {
        return Taken::lost;
    }
    Display* display = _connection->get();
    bool changed = false;
    for (int taken = 0; taken < 10000 && XPending(display) > 0 && !_connection->lost(); ++taken) {
        XEvent event{};
        XNextEvent(display, &event);
        if (_announcements.screens && event.type == _randrEvent + RRScreenChangeNotify) {
            XRRUpdateConfiguration(&event);
        }
        changed = true;
    }
    if (_connection->lost()) {
        return Taken::lost;
    }
    return changed ? Taken::changed : Taken::nothing;
}

void XEvents::disconnect()
{
    _connection.reset();
}

}  // namespace Base
