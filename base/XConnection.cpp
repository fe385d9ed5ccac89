// SPDX-License-Identifier: Apache-2.0
#include "base/XConnection.h"

#include "base/Guard.h"
#include "base/Logging.h"
#include "base/XcbXkb.h"

#include <xcb/randr.h>

#include <cstdlib>
#include <iostream>
#include <mutex>

namespace Base {

namespace {

// libXau, which xcb asks for the display's authorisation, keeps the name of
// the authority file in one static buffer: this process's connections are
// made one at a time.
std::mutex gConnecting;

}  // namespace

XConnection::XConnection()
{
    const char* name = std::getenv("DISPLAY");
    _name = name != nullptr ? name : "";
    {
        const std::lock_guard<std::mutex> lock(gConnecting);
        _connection.reset(xcb_connect(nullptr, &_defaultScreen));
    }
    // A connection that failed is still an object of xcb's, to be released.
    if (_connection && xcb_connection_has_error(_connection.get()) != 0) {
        _connection.reset();
    }
}

XConnection::~XConnection()
{
    if (_connection) {
        lost();  // a loss not yet logged is logged now
    }
    std::free(_error);
}

const xcb_setup_t* XConnection::setup() const
{
    return _connection ? xcb_get_setup(_connection.get()) : nullptr;
}

const xcb_screen_t* XConnection::screen(int number) const
{
    const xcb_setup_t* info = setup();
    if (info == nullptr || number < 0) {
        return nullptr;
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(info);
    for (int index = 0; screens.rem > 0; ++index, xcb_screen_next(&screens)) {
        if (index == number) {
            return screens.data;
        }
    }
    return nullptr;
}

bool XConnection::has(LazyLibrary::Id library, const char* name) const
{
    auto* description = static_cast<xcb_extension_t*>(LazyLibrary::require(library).symbol(name));
    if (!_connection || description == nullptr) {
        return false;
    }
    const xcb_query_extension_reply_t* answer = xcb_get_extension_data(_connection.get(), description);
    return answer != nullptr && answer->present != 0;
}

XConnection::Extension XConnection::randr() const
{
    if (!has(LazyLibrary::XcbRandr, "xcb_randr_id")) {
        return Extension::missing;
    }
    const XReply<xcb_randr_query_version_reply_t> version = reply(xcb_randr_query_version_reply(
        get(), xcb_randr_query_version(get(), XCB_RANDR_MAJOR_VERSION, XCB_RANDR_MINOR_VERSION), error()));
    return version ? Extension::ready : Extension::unsupported;
}

XConnection::Extension XConnection::xkb() const
{
    if (!has(LazyLibrary::XcbXkb, "xcb_xkb_id")) {
        return Extension::missing;
    }
    const XReply<xcb_xkb_use_extension_reply_t> use =
        reply(xcb_xkb_use_extension_reply(get(), xcb_xkb_use_extension(get(), 1, 0), error()));
    return use && use->supported != 0 ? Extension::ready : Extension::unsupported;
}

bool XConnection::lost() const
{
    if (!_connection || xcb_connection_has_error(_connection.get()) == 0) {
        return false;
    }
    if (!_lossLogged) {
        _lossLogged = true;
        Base::guarded(__func__, [&] {
            TRACE_FUNCTION("handleLostConnection");
            TRACE_ERROR << "Lost the connection to X display [" << _name << "]" << std::endl;
        });
    }
    return true;
}

void XConnection::failed(const xcb_generic_error_t& error) const
{
    Base::guarded(__func__, [&] {
        TRACE_FUNCTION("suppressRequestError");
        TRACE_WARNING << "X request [" << static_cast<int>(error.major_code) << "." << error.minor_code
                      << "] failed error [" << static_cast<int>(error.error_code) << "]" << std::endl;
    });
}

int XConnection::takeError() const
{
    if (_error == nullptr) {
        lost();
        return kNoAnswer;
    }
    const int code = _error->error_code;
    failed(*_error);
    std::free(_error);
    _error = nullptr;
    return code;
}

bool XConnection::fitsReply(const void* reply, std::uint32_t words, const void* data, std::size_t bytes)
{
    if (reply == nullptr || data == nullptr) {
        return reply != nullptr && bytes == 0;
    }
    const auto* start = static_cast<const unsigned char*>(reply);
    const auto* at = static_cast<const unsigned char*>(data);
    const std::size_t size = 32 + std::size_t{words} * 4;
    if (at < start || static_cast<std::size_t>(at - start) > size) {
        return false;
    }
    return bytes <= size - static_cast<std::size_t>(at - start);
}

}  // namespace Base
