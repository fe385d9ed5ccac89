// Category "Display": every active monitor of the X display, read through the
// X Resize and Rotate extension. Each reading runs on a thread of its own and
// opens and closes its own X connection.
#pragma once

#include "properties/Provider.h"

#include <optional>
#include <string>

class DisplayProvider : public ProviderOf<DisplayProvider> {
public:
    // The keys' texts are formats: "%d" stands for the monitor's index, from 0.
    static constexpr PropertyKey kName{"DEVICE_DISPLAY_%d_NAME", 0x02};
    static constexpr PropertyKey kWidth{"DEVICE_DISPLAY_%d_WIDTH", 0x04};
    static constexpr PropertyKey kHeight{"DEVICE_DISPLAY_%d_HEIGHT", 0x08};
    static constexpr PropertyKey kBitsPerPixel{"DEVICE_DISPLAY_%d_BPP", 0x10};
    static constexpr PropertyKey kDotsPerInch{"DEVICE_DISPLAY_%d_DPI", 0x20};
    static constexpr PropertyKey kCount{"DEVICE_DISPLAY_COUNT", 0x01};

    using ProviderOf::ProviderOf;

    std::future<PropertyMap> getProperties() override;

    // Dots per inch of a screen `pixels` high and `millimetres` high, rounded
    // to a whole number; none when the physical height is not known (0).
    static std::optional<std::string> dotsPerInch(int pixels, int millimetres);
};
