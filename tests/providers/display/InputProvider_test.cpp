// SPDX-License-Identifier: Apache-2.0
// InputProvider through the real libudev against umockdev testbeds (the test
// runs under umockdev's preload library), one testbed per set of devices.
#include "providers/display/InputProvider.h"

#include "support/Categories.h"
#include "support/MainLoop.h"

#include <gtest/gtest.h>
#include <umockdev.h>

#include <atomic>

// A udev record of input device `number` with the properties `properties`.
static std::string device(int number, const std::string& properties)
{
    return "P: /devices/virtual/input/input" + std::to_string(number) + "\nE: SUBSYSTEM=input\nE: ID_INPUT=1\n" +
           properties + "A: name=Device " + std::to_string(number) + "\n\n";
}

TEST(InputProviderTest, EachKindOfDeviceSetsItsFlags)
{
    const std::string keyboard = device(1, "E: ID_INPUT_KEYBOARD=1\n") +  // and its event node, without a name
                                 "P: /devices/virtual/input/input1/event1\nN: input/event1\nE: SUBSYSTEM=input\n"
                                 "E: ID_INPUT_KEYBOARD=1\n\n";
    const std::string mouse = device(2, "E: ID_INPUT_MOUSE=1\n");
    const std::string touchPad = device(3, "E: ID_INPUT_TOUCHPAD=1\n");
    const std::string touchScreen = device(4, "E: ID_INPUT_TOUCHSCREEN=1\n");
    const std::pair<std::string, const char*> cases[] = {
        {"", "0000"},  // keyboard, mouse, touch, pen
        {keyboard, "1000"},
        {mouse, "0100"},
        {touchPad, "0100"},  // a touch pad is a mouse
        {touchScreen, "0011"},  // a touch screen brings a pen
        {device(5, "E: ID_INPUT_TOUCHPAD=1\nE: ID_INPUT_TOUCHSCREEN=1\n"), "0100"},  // the pad wins
        {keyboard + mouse + touchPad + touchScreen, "1111"},
        // Properties there but not "1", and a device of another subsystem.
        {device(6, "E: ID_INPUT_KEYBOARD=0\nE: ID_INPUT_MOUSE=\nE: ID_INPUT_TOUCHSCREEN=true\n") +
             "P: /devices/virtual/misc/uinput\nN: uinput\nE: SUBSYSTEM=misc\nE: ID_INPUT_KEYBOARD=1\n",
         "0000"},
    };
    ASSERT_TRUE(std::string(getenv("LD_PRELOAD") ?: "").find("umockdev") + 1) << "run under umockdev-wrapper";
    for (const auto& [devices, flags] : cases) {
        UMockdevTestbed* testbed = umockdev_testbed_new();
        GError* error = nullptr;
        EXPECT_TRUE(devices.empty() || umockdev_testbed_add_from_string(testbed, devices.c_str(), &error))
            << (error != nullptr ? error->message : "");
        const auto flag = [&flags = flags](int at) { return flags[at] == '1' ? "true" : "false"; };
        EXPECT_EQ(TestSupport::readProvider<InputProvider>("Input"),
                  (PropertyMap{{"DEVICE_INPUT_KEYBOARD", flag(0)}, {"DEVICE_INPUT_MOUSE", flag(1)},
                               {"DEVICE_INPUT_TOUCH", flag(2)}, {"DEVICE_INPUT_PEN", flag(3)}}))
            << devices;
        g_clear_error(&error);
        g_object_unref(testbed);
    }
}

// A device plugged and unplugged is announced by udev; the watching provider's reading after each has it, or not
// (what it kept while udev was quiet goes with the announcement).
TEST(InputProviderTest, PluggedAndUnpluggedDevicesAreAnnounced)
{
    UMockdevTestbed* testbed = umockdev_testbed_new();
    std::atomic<int> changes{0};
    InputProvider provider(TestSupport::category("Input"), "20.1");
    provider.monitorForChanges([&changes](std::shared_ptr<Category const> changed) {
        changes += changed->name == "Input" ? 1 : 0;
    });
    provider.awaitMonitoring();
    const char* mouse = "/sys/devices/virtual/input/input2";
    const auto hasMouse = [&provider] { return provider.getProperties().get().at("DEVICE_INPUT_MOUSE"); };
    EXPECT_EQ(hasMouse(), "false");
    for (const char* action : {"add", "remove"}) {
        const int before = changes;
        if (std::string(action) == "add") {
            ASSERT_TRUE(umockdev_testbed_add_from_string(testbed, device(2, "E: ID_INPUT_MOUSE=1\n").c_str(), nullptr));
        }
        umockdev_testbed_uevent(testbed, mouse, action);
        if (std::string(action) == "remove") umockdev_testbed_remove_device(testbed, mouse);
        EXPECT_TRUE(TestSupport::waitUntil([&] { return changes > before; })) << action;
        EXPECT_EQ(hasMouse(), action[0] == 'a' ? "true" : "false") << action;
        EXPECT_EQ(hasMouse(), action[0] == 'a' ? "true" : "false") << action;  // kept
    }
    provider.close();
    g_object_unref(testbed);
}
