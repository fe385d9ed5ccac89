// Category "Input": whether a keyboard, a pointing device, a touch screen and
// a pen are attached, from udev's classification of input devices. Read
// afresh on the thread that waits for the reading.
#pragma once

#include "properties/Provider.h"

class InputProvider : public ProviderOf<InputProvider> {
public:
    static constexpr PropertyKey kKeyboard{"DEVICE_INPUT_KEYBOARD", 0x01};
    static constexpr PropertyKey kMouse{"DEVICE_INPUT_MOUSE", 0x02};
    static constexpr PropertyKey kTouch{"DEVICE_INPUT_TOUCH", 0x08};
    static constexpr PropertyKey kPen{"DEVICE_INPUT_PEN", 0x04};

    using ProviderOf::ProviderOf;

    std::future<PropertyMap> getProperties() override;
};
