// SPDX-License-Identifier: Apache-2.0
// Category "Display": every active monitor of the X display, read through the
// X Resize and Rotate extension. Each reading runs on a thread of its own and
// opens and closes its own X connection; while monitoring, the reading is kept
// as long as the watch has announced nothing (KeptWhileQuiet).
#pragma once

#include "base/LazyLibrary.h"
#include "properties/KeptWhileQuiet.h"
#include "properties/Provider.h"

#include <memory>
#include <optional>
#include <string>

class DisplayProvider : public ProviderOf<DisplayProvider> {
public:
    // The platform libraries it calls into: xcb and its RandR.
    static constexpr Base::LazyLibrary::Set kLibraries =
        Base::LazyLibrary::bit(Base::LazyLibrary::Xcb) | Base::LazyLibrary::bit(Base::LazyLibrary::XcbRandr);
    // Per monitor: "%d" is the monitor's index, from 0.
    static constexpr PropertyKey kKeys[] = {
        {"DEVICE_DISPLAY_%d_NAME", 0x02, "name of the monitor's output", "", nullptr},
        {"DEVICE_DISPLAY_%d_WIDTH", 0x04, "width of the monitor's picture", "pixels", nullptr},
        {"DEVICE_DISPLAY_%d_HEIGHT", 0x08, "height of the monitor's picture", "pixels", nullptr},
        {"DEVICE_DISPLAY_%d_BPP", 0x10, "colour depth", "bits per pixel", nullptr},
        {"DEVICE_DISPLAY_%d_DPI", 0x20, "resolution of the screen", "dots per inch"},
        {"DEVICE_DISPLAY_COUNT", 0x01, "number of active monitors", "", "0"},
    };
    static constexpr const PropertyKey& kName = kKeys[0];
    static constexpr const PropertyKey& kWidth = kKeys[1];
    static constexpr const PropertyKey& kHeight = kKeys[2];
    static constexpr const PropertyKey& kBitsPerPixel = kKeys[3];
    static constexpr const PropertyKey& kDotsPerInch = kKeys[4];
    static constexpr const PropertyKey& kCount = kKeys[5];

    using ProviderOf::ProviderOf;

    std::future<PropertyMap> getProperties() override;
    // RandR announces monitors connected, disconnected, switched off and new modes.
    void monitorForChanges(const ChangeCallback& callback) override
    {
        watchChanges({.display = {.screens = true}}, callback);
    }

    // Dots per inch of a screen `pixels` high and `millimetres` high, rounded
    // to a whole number; none when the physical height is not known (0).
    static std::optional<std::string> dotsPerInch(int pixels, int millimetres);

private:
    using Kept = KeptWhileQuiet<PropertyMap>;
    std::shared_ptr<Kept> _kept = std::make_shared<Kept>();
};
