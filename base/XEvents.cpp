// SPDX-License-Identifier: Apache-2.0
#include "base/XEvents.h"

#include "base/XConnection.h"
#include "base/XcbXkb.h"

#include <xcb/randr.h>

#include <cstdlib>

namespace Base {

XEvents::XEvents(Announcements announcements) : _announcements(announcements) {}

XEvents::~XEvents() = default;

int XEvents::connect(std::string& why)
{
    disconnect();
    auto connection = std::make_unique<XConnection>();
    xcb_connection_t* x = connection->get();
    _absent = x == nullptr;
    const xcb_screen_t* screen = connection->screen(connection->defaultScreen());
    if (x == nullptr || screen == nullptr) {
        why = "no X display";
        return -1;
    }
    const char* gone = "the X server went away";
    if (_announcements.screens) {
        if (connection->randr() != XConnection::Extension::ready) {
            why = connection->lost() ? gone : "the X server has no RandR";
            return -1;
        }
        xcb_randr_select_input(x, screen->root,
                               XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                                   XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
    }
    if (_announcements.keyboardGroup) {
        if (connection->xkb() != XConnection::Extension::ready) {
            why = connection->lost() ? gone : "the X server has no XKB";
            return -1;
        }
        // The group in use, and a keymap loaded or its group names changed (setxkbmap).
        xcb_xkb_select_events_details_t group{};
        group.affectState = XCB_XKB_STATE_PART_GROUP_STATE;
        group.stateDetails = XCB_XKB_STATE_PART_GROUP_STATE;
        xcb_xkb_select_events_aux(x, XCB_XKB_ID_USE_CORE_KBD, XCB_XKB_EVENT_TYPE_STATE_NOTIFY, 0, 0, 0, 0, &group);
        constexpr uint16_t kKeymap = XCB_XKB_EVENT_TYPE_NEW_KEYBOARD_NOTIFY | XCB_XKB_EVENT_TYPE_NAMES_NOTIFY |
                                     XCB_XKB_EVENT_TYPE_MAP_NOTIFY;
        constexpr uint16_t kAllMapParts = 0xff;
        const xcb_xkb_select_events_details_t none{};
        xcb_xkb_select_events_aux(x, XCB_XKB_ID_USE_CORE_KBD, kKeymap, 0, kKeymap, kAllMapParts, kAllMapParts, &none);
    }
    // One round trip: every selection above is in place once it is answered.
    std::free(xcb_get_input_focus_reply(x, xcb_get_input_focus(x), nullptr));
    if (connection->lost()) {
        why = gone;
        return -1;
    }
    _connection = std::move(connection);
    // Whatever came with the requests is no change.
    take();
    return xcb_get_file_descriptor(x);
}

ChangeSource::Taken XEvents::take()
{
    if (!_connection || _connection->lost()) {
        return Taken::lost;
    }
    bool changed = false;
    for (int taken = 0; taken < 10000; ++taken) {
        const XReply<xcb_generic_event_t> event(xcb_poll_for_event(_connection->get()));
        if (!event) {
            break;
        }
        if (event->response_type == 0) {
            // An error of a request sent without a reply: no change.
            _connection->failed(*reinterpret_cast<const xcb_generic_error_t*>(event.get()));
            continue;
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
