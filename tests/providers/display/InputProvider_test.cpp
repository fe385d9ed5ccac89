// InputProvider through the real libudev against umockdev testbeds: the test
// binary runs under umockdev's preload library, and each test describes its
// own input devices.
#include "providers/display/InputProvider.h"

#include "support/Categories.h"
#include "support/LogWatch.h"

#include <gtest/gtest.h>

#include <umockdev.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

using TestSupport::LogWatch;

namespace {

// udev's records of a laptop's input devices: an input device with its
// "name" attribute, and its event node, which has none.
constexpr const char* kKeyboard = R"(P: /devices/platform/i8042/serio0/input/input3
E: SUBSYSTEM=input
E: ID_INPUT=1
E: ID_INPUT_KEY=1
E: ID_INPUT_KEYBOARD=1
A: name=AT Translated Set 2 keyboard

P: /devices/platform/i8042/serio0/input/input3/event3
N: input/event3
E: DEVNAME=/dev/input/event3
E: SUBSYSTEM=input
E: ID_INPUT=1
E: ID_INPUT_KEY=1
E: ID_INPUT_KEYBOARD=1
)";

constexpr const char* kTouchPad = R"(P: /devices/platform/i8042/serio1/input/input5
E: SUBSYSTEM=input
E: ID_INPUT=1
E: ID_INPUT_TOUCHPAD=1
A: name=SynPS/2 Synaptics TouchPad
)";

constexpr const char* kTouchScreen = R"(P: /devices/pci0000:00/0000:00:14.0/usb1/1-7/1-7:1.0/0003:04F3:2073.0001/input/input9
E: SUBSYSTEM=input
E: ID_INPUT=1
E: ID_INPUT_TOUCHSCREEN=1
A: name=ELAN Touchscreen
)";

constexpr const char* kMouse = R"(P: /devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/0003:046D:C077.0002/input/input11
E: SUBSYSTEM=input
E: ID_INPUT=1
E: ID_INPUT_MOUSE=1
A: name=Logitech USB Optical Mouse
)";

// Properties that are there but not "1", and a device of another subsystem.
constexpr const char* kNotInput = R"(P: /devices/platform/pcspkr/input/input4
E: SUBSYSTEM=input
E: ID_INPUT=1
E: ID_INPUT_KEYBOARD=0
E: ID_INPUT_MOUSE=
E: ID_INPUT_TOUCHSCREEN=true
A: name=PC Speaker

P: /devices/virtual/misc/uinput
N: uinput
E: SUBSYSTEM=misc
E: ID_INPUT_KEYBOARD=1
)";

PropertyMap flags(bool keyboard, bool mouse, bool touch, bool pen)
{
    const auto text = [](bool value) { return value ? "true" : "false"; };
    return {{"DEVICE_INPUT_KEYBOARD", text(keyboard)},
            {"DEVICE_INPUT_MOUSE", text(mouse)},
            {"DEVICE_INPUT_TOUCH", text(touch)},
            {"DEVICE_INPUT_PEN", text(pen)}};
}

PropertyMap readInput(int32_t status = 2, int32_t filter = 0)
{
    return TestSupport::readProvider<InputProvider>("Input", status, filter);
}

class InputProviderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* preload = std::getenv("LD_PRELOAD");
        ASSERT_TRUE(preload != nullptr && std::string(preload).find("libumockdev-preload") != std::string::npos)
            << "run under umockdev-wrapper";
        _testbed = umockdev_testbed_new();
    }
    void TearDown() override
    {
        if (_testbed != nullptr) {
            g_object_unref(_testbed);
        }
    }

    void add(const char* devices)
    {
        GError* error = nullptr;
        const gboolean added = umockdev_testbed_add_from_string(_testbed, devices, &error);
        ASSERT_TRUE(added) << (error != nullptr ? error->message : "");
    }

    UMockdevTestbed* _testbed = nullptr;
};

}  // namespace

TEST_F(InputProviderTest, AKeyboardAlone)
{
    add(kKeyboard);
    LogWatch log;
    const auto started = std::chrono::steady_clock::now();
    const PropertyMap properties = readInput();
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(properties, flags(true, false, false, false));
    std::printf("One input reading took %.2f ms\n", std::chrono::duration<double, std::milli>(took).count());

    EXPECT_EQ(log.count("VERBOSE - Getting INPUT properties...\n"), 1U) << log.text();
    EXPECT_EQ(log.count("VERBOSE - Found keyboard [AT Translated Set 2 keyboard]\n"), 1U) << log.text();
    // The event node has no name attribute.
    EXPECT_EQ(log.count("VERBOSE - Found keyboard []\n"), 1U) << log.text();
    EXPECT_EQ(log.count("VERBOSE - Done getting INPUT properties.\n"), 1U) << log.text();
}

TEST_F(InputProviderTest, ATouchPadAloneIsAMouse)
{
    add(kTouchPad);
    LogWatch log;
    EXPECT_EQ(readInput(), flags(false, true, false, false));
    EXPECT_EQ(log.count("VERBOSE - Found touch pad [SynPS/2 Synaptics TouchPad]. Treating as mouse.\n"), 1U)
        << log.text();
}

TEST_F(InputProviderTest, ATouchScreenAloneIsTouchAndPen)
{
    add(kTouchScreen);
    LogWatch log;
    EXPECT_EQ(readInput(), flags(false, false, true, true));
    EXPECT_EQ(log.count("VERBOSE - Found touch screen [ELAN Touchscreen]\n"), 1U) << log.text();
}

TEST_F(InputProviderTest, EverythingAttached)
{
    add(kKeyboard);
    add(kMouse);
    add(kTouchPad);
    add(kTouchScreen);
    LogWatch log;
    EXPECT_EQ(readInput(), flags(true, true, true, true));
    EXPECT_EQ(log.count("VERBOSE - Found mouse [Logitech USB Optical Mouse]\n"), 1U) << log.text();
}

TEST_F(InputProviderTest, OnlyPropertiesThatAreOneCount)
{
    add(kNotInput);
    EXPECT_EQ(readInput(), flags(false, false, false, false));
}

TEST_F(InputProviderTest, NoInputDevices)
{
    LogWatch log;
    EXPECT_EQ(readInput(), flags(false, false, false, false));
    EXPECT_FALSE(log.contains("Found")) << log.text();
}

TEST_F(InputProviderTest, ReportsOnlyTheSelectedKeys)
{
    add(kTouchScreen);
    EXPECT_EQ(readInput(1, 0x08), (PropertyMap{{"DEVICE_INPUT_TOUCH", "true"}}));
    EXPECT_EQ(readInput(1, 0x04), (PropertyMap{{"DEVICE_INPUT_PEN", "true"}}));
    EXPECT_EQ(readInput(1, 0x01 | 0x02),
              (PropertyMap{{"DEVICE_INPUT_KEYBOARD", "false"}, {"DEVICE_INPUT_MOUSE", "false"}}));
    EXPECT_TRUE(readInput(1, 0x10).empty());
    EXPECT_TRUE(readInput(0, 0x0f).empty());
}
