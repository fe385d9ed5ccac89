// SPDX-License-Identifier: Apache-2.0
#include "providers/display/DisplayProvider.h"

#include "base/Logging.h"
#include "base/XConnection.h"

#include <xcb/randr.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

namespace {

using Base::XConnection;
using Base::XReply;
using OutputInfo = XReply<xcb_randr_get_output_info_reply_t>;
using CrtcInfo = XReply<xcb_randr_get_crtc_info_reply_t>;

std::string outputName(const xcb_randr_get_output_info_reply_t& output)
{
    const uint8_t* name = xcb_randr_get_output_info_name(&output);
    const int length = xcb_randr_get_output_info_name_length(&output);
    if (length <= 0 || !XConnection::fits(&output, name, static_cast<std::size_t>(length))) {
        return {};
    }
    return std::string(reinterpret_cast<const char*>(name), static_cast<std::size_t>(length));
}

// The bits per colour channel of the screen's default visual; 0 when the
// server does not list it.
int bitsPerRgb(const xcb_screen_t& screen)
{
    for (xcb_depth_iterator_t depths = xcb_screen_allowed_depths_iterator(&screen); depths.rem > 0;
         xcb_depth_next(&depths)) {
        for (xcb_visualtype_iterator_t visuals = xcb_depth_visuals_iterator(depths.data); visuals.rem > 0;
             xcb_visualtype_next(&visuals)) {
            if (visuals.data->visual_id == screen.root_visual) {
                return visuals.data->bits_per_rgb_value;
            }
        }
    }
    return 0;
}

// Adds the keys of every connected output with a CRTC of screen `number`,
// from index `index` on; gives the next free index. Every output's request
// is sent before the first answer is read, and so is every CRTC's.
int collectScreen(PropertyCollector& properties, const XConnection& connection, int number, int index)
{
    TRACE_FUNCTION("getProperties");
    xcb_connection_t* x = connection.get();
    const xcb_screen_t* screen = connection.screen(number);
    if (screen == nullptr) {
        return index;
    }
    const XReply<xcb_randr_get_screen_resources_current_reply_t> resources =
        connection.reply(xcb_randr_get_screen_resources_current_reply(
            x, xcb_randr_get_screen_resources_current(x, screen->root), connection.error()));
    if (!resources) {
        return index;
    }
    const xcb_randr_output_t* outputs = xcb_randr_get_screen_resources_current_outputs(resources.get());
    const int outputCount = xcb_randr_get_screen_resources_current_outputs_length(resources.get());
    if (outputCount < 0 || !XConnection::fits(resources.get(), outputs,
                                              static_cast<std::size_t>(outputCount) * sizeof(xcb_randr_output_t))) {
        TRACE_WARNING << "Ignoring screen [" << number << "] whose resources list more outputs than they hold"
                      << std::endl;
        return index;
    }
    const xcb_timestamp_t configured = resources->config_timestamp;
    // Of the X screen, so the same for all its outputs.
    const int bits = bitsPerRgb(*screen);
    const int heightPixels = screen->height_in_pixels;
    const int heightMillimetres = screen->height_in_millimeters;

    std::vector<xcb_randr_get_output_info_cookie_t> asked;
    for (int o = 0; o < outputCount; ++o) {
        asked.push_back(xcb_randr_get_output_info(x, outputs[o], configured));
    }
    std::vector<OutputInfo> infos;
    std::vector<xcb_randr_get_crtc_info_cookie_t> crtcAsked(asked.size(), xcb_randr_get_crtc_info_cookie_t{0});
    for (std::size_t o = 0; o < asked.size(); ++o) {
        infos.push_back(connection.reply(xcb_randr_get_output_info_reply(x, asked[o], connection.error())));
        const OutputInfo& output = infos.back();
        if (output && output->connection == XCB_RANDR_CONNECTION_CONNECTED && output->crtc != XCB_NONE) {
            crtcAsked[o] = xcb_randr_get_crtc_info(x, output->crtc, configured);
        }
    }
    for (std::size_t o = 0; o < infos.size(); ++o) {
        const OutputInfo& output = infos[o];
        if (!output) {
            TRACE_VERBOSE << "Ignoring null screen [" << number << "] output [" << o << "]" << std::endl;
            continue;
        }
        const std::string name = outputName(*output.get());
        if (output->connection != XCB_RANDR_CONNECTION_CONNECTED) {
            TRACE_VERBOSE << "Ignoring disconnected screen [" << number << "] output [" << o << "] name [" << name
                          << "]" << std::endl;
            continue;
        }
        CrtcInfo crtc;
        if (output->crtc != XCB_NONE) {
            crtc = connection.reply(xcb_randr_get_crtc_info_reply(x, crtcAsked[o], connection.error()));
        }
        if (!crtc) {
            TRACE_WARNING << "Missing CRCT info for screen [" << number << "] output [" << o << "] name [" << name
                          << "]" << std::endl;
            continue;
        }
        TRACE_VERBOSE << "Found screen [" << number << "] output [" << o << "] name [" << name << "]" << std::endl;
        properties.addIndexed(DisplayProvider::kName, index, name);
        properties.addIndexed(DisplayProvider::kWidth, index, std::to_string(crtc->width));
        properties.addIndexed(DisplayProvider::kHeight, index, std::to_string(crtc->height));
        properties.addIndexed(DisplayProvider::kBitsPerPixel, index, std::to_string(bits));
        properties.addIndexed(DisplayProvider::kDotsPerInch, index,
                              [&] { return DisplayProvider::dotsPerInch(heightPixels, heightMillimetres); });
        ++index;
    }
    return index;
}

// Adds the keys of every reported monitor; gives how many there are.
int collectDisplays(PropertyCollector& properties)
{
    TRACE_FUNCTION("getProperties");
    const XConnection connection;
    if (!connection) {
        TRACE_ERROR << "Failed to open display" << std::endl;
        const char* name = std::getenv("DISPLAY");
        TRACE_INFO << (name != nullptr ? "No X server answers on DISPLAY [" + std::string(name) + "]"
                                       : std::string("DISPLAY is not set"))
                   << std::endl;
        return 0;
    }
    if (connection.randr() != XConnection::Extension::ready) {
        TRACE_ERROR << "Failed to query RandR extension" << std::endl;
        return 0;
    }
    const xcb_setup_t* setup = connection.setup();
    const int screens = setup != nullptr ? xcb_setup_roots_length(setup) : 0;
    int index = 0;
    for (int screen = 0; screen < screens; ++screen) {
        index = collectScreen(properties, connection, screen, index);
    }
    if (connection.lost()) {
        // What was read before the loss stays; later screens gave nothing.
        TRACE_WARNING << "Reported [" << index << "] displays read before the X connection was lost" << std::endl;
    }
    return index;
}

}  // namespace

std::optional<std::string> DisplayProvider::dotsPerInch(int pixels, int millimetres)
{
    if (millimetres <= 0) {
        return std::nullopt;
    }
    char text[32];
    std::snprintf(text, sizeof(text), "%.0f", pixels * 25.4 / millimetres);
    return std::string(text);
}

std::future<PropertyMap> DisplayProvider::getProperties()
{
    // While RandR's watch has announced nothing, the X server is not asked
    // again and no thread is started.
    const std::optional<std::uint64_t> from = Kept::generation(quiet());
    if (std::optional<PropertyMap> held = _kept->held(quiet(), from)) {
        return atOnce([&held](PropertyCollector& properties) { properties.addKept(*held); });
    }
    return asynchronous([kept = _kept, from, category = category(), host = hostAtLeast(20, 1)](
                            PropertyCollector& properties) {
        TRACE_FUNCTION("getProperties");
        TRACE_VERBOSE << "Getting DISPLAY properties..." << std::endl;
        PropertyCollector reading(*category, host);
        const int count = collectDisplays(reading);
        reading.add(kCount, std::to_string(count));
        const PropertyMap read = reading.take();
        kept->keep(from, read);
        properties.addKept(read);
        TRACE_VERBOSE << "Done getting DISPLAY properties." << std::endl;
    });
}
