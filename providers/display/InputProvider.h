// SPDX-License-Identifier: Apache-2.0
// Category "Input": whether a keyboard, a pointing device, a touch screen and
// a pen are attached, from udev's classification of input devices. Read on
// the thread that waits for the reading, and kept while udev's watch of input
// devices has announced nothing (KeptWhileQuiet).
#pragma once

#include "base/LazyLibrary.h"
#include "properties/KeptWhileQuiet.h"
#include "properties/Provider.h"

class InputProvider : public ProviderOf<InputProvider> {
public:
    // The platform libraries it calls into: libudev.
    static constexpr Base::LazyLibrary::Set kLibraries = Base::LazyLibrary::bit(Base::LazyLibrary::Udev);
    static constexpr PropertyKey kKeys[] = {
        {"DEVICE_INPUT_KEYBOARD", 0x01, "whether a keyboard is attached", "true/false", "false"},
        {"DEVICE_INPUT_MOUSE", 0x02, "whether a pointing device is attached", "true/false", "false"},
        {"DEVICE_INPUT_TOUCH", 0x08, "whether a touch screen is attached", "true/false", "false"},
        {"DEVICE_INPUT_PEN", 0x04, "whether a pen is attached", "true/false", "false"},
    };
    static constexpr const PropertyKey& kKeyboard = kKeys[0];
    static constexpr const PropertyKey& kMouse = kKeys[1];
    static constexpr const PropertyKey& kTouch = kKeys[2];
    static constexpr const PropertyKey& kPen = kKeys[3];

    using ProviderOf::ProviderOf;

    std::future<PropertyMap> getProperties() override;
    // Input devices plugged or unplugged, as udev announces them.
    void monitorForChanges(const ChangeCallback& callback) override
    {
        watchChanges({.udevSubsystems = {"input"}}, callback);
    }

    // What was found; a pen is assumed wherever there is a touch screen.
    struct Found {
        bool keyboard = false;
        bool mouse = false;
        bool touch = false;
        bool pen = false;
    };

private:
    std::shared_ptr<KeptWhileQuiet<Found>> _kept = std::make_shared<KeptWhileQuiet<Found>>();
};
