// SPDX-License-Identifier: Apache-2.0
#include "providers/display/DisplayProvider.h"

#include "base/Logging.h"
#include "base/XConnection.h"
#include "base/XRandr.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <string>

namespace {

// One reading at a time in the process: where Xlib runs without its own
// locking, the extension's per-display bookkeeping is a list shared by every
// connection.
std::mutex gReadingMutex;

std::string outputName(const XRROutputInfo& output)
{
    if (output.name == nullptr || output.nameLen <= 0) {
        return {};
    }
    return std::string(output.name, static_cast<std::size_t>(output.nameLen));
}

// Adds the keys of every connected output with a CRTC of screen `screen`,
// from index `index` on; gives the next free index.
int collectScreen(PropertyCollector& properties, Display* display, int screen, int index)
{
    TRACE_FUNCTION("getProperties");
    const Base::XRRScreenResourcesHandle resources(XRRGetScreenResourcesCurrent(display, RootWindow(display, screen)));
    if (!resources) {
        return index;
    }
    // Of the X screen, so the same for all its outputs.
    const Visual* visual = DefaultVisual(display, screen);
    const int bitsPerRgb = visual != nullptr ? visual->bits_per_rgb : 0;
    const int heightPixels = DisplayHeight(display, screen);
    const int heightMillimetres = DisplayHeightMM(display, screen);

    for (int o = 0; o < resources->noutput; ++o) {
        const Base::XRROutputInfoHandle output(XRRGetOutputInfo(display, resources.get(), resources->outputs[o]));
        if (!output) {
            TRACE_VERBOSE << "Ignoring null screen [" << screen << "] output [" << o << "]" << std::endl;
            continue;
        }
        const std::string name = outputName(*output.get());
        if (output->connection != RR_Connected) {
            TRACE_VERBOSE << "Ignoring disconnected screen [" << screen << "] output [" << o << "] name [" << name
                          << "]" << std::endl;
            continue;
        }
        Base::XRRCrtcInfoHandle crtc;
        if (output->crtc != None) {
            crtc.reset(XRRGetCrtcInfo(display, resources.get(), output->crtc));
        }
        if (!crtc) {
            TRACE_WARNING << "Missing CRCT info for screen [" << screen << "] output [" << o << "] name [" << name
                          << "]" << std::endl;
            continue;
        }
        TRACE_VERBOSE << "Found screen [" << screen << "] output [" << o << "] name [" << name << "]" << std::endl;
        properties.addIndexed(DisplayProvider::kName, index, name);
        properties.addIndexed(DisplayProvider::kWidth, index, std::to_string(crtc->width));
        properties.addIndexed(DisplayProvider::kHeight, index, std::to_string(crtc->height));
        properties.addIndexed(DisplayProvider::kBitsPerPixel, index, std::to_string(bitsPerRgb));
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
    const std::lock_guard<std::mutex> lock(gReadingMutex);
    const Base::XConnection connection;
    if (!connection) {
        TRACE_ERROR << "Failed to open display" << std::endl;
        const char* name = std::getenv("DISPLAY");
        TRACE_INFO << (name != nullptr ? "No X server answers on DISPLAY [" + std::string(name) + "]"
                                       : std::string("DISPLAY is not set"))
                   << std::endl;
        return 0;
    }
    Display* display = connection.get();
    int eventBase = 0;
    int errorBase = 0;
    int major = 0;
    int minor = 0;
    if (!XRRQueryExtension(display, &eventBase, &errorBase) || !XRRQueryVersion(display, &major, &minor)) {
        TRACE_ERROR << "Failed to query RandR extension" << std::endl;
        return 0;
    }
    int index = 0;
    for (int screen = 0; screen < ScreenCount(display); ++screen) {
        index = collectScreen(properties, display, screen, index);
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
