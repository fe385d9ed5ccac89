// SPDX-License-Identifier: Apache-2.0
#include "providers/display/InputProvider.h"

#include "base/Logging.h"
#include "base/Sysfs.h"
#include "base/Udev.h"

#include <libudev.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace {

// udev hands out null for anything it does not have.
std::string text(const char* value)
{
    return value != nullptr ? value : "";
}

// A property counts as set when it exists and begins with "1".
bool hasProperty(udev_device* device, const char* name)
{
    const char* value = udev_device_get_property_value(device, name);
    return value != nullptr && value[0] == '1';
}

InputProvider::Found findInputDevices()
{
    TRACE_FUNCTION("getProperties");
    InputProvider::Found found;
    const Base::UdevHandle udev(udev_new());
    if (!udev) {
        TRACE_ERROR << "Failed to create udev context" << std::endl;
        return found;
    }
    // The class's links, not udev's enumerator: that makes a device of each
    // to match its subsystem, resolving every path component by component,
    // and each would be made again here to read its properties.
    const std::optional<std::vector<std::string>> paths = Base::Sysfs::classDevices("input");
    if (!paths) {
        TRACE_ERROR << "Failed to scan udev input devices error [" << std::strerror(errno) << "]" << std::endl;
        return found;
    }
    for (const std::string& path : *paths) {
        const Base::UdevDeviceHandle device(udev_device_new_from_syspath(udev.get(), path.c_str()));
        if (!device) {
            continue;
        }
        const std::string name = text(udev_device_get_sysattr_value(device.get(), "name"));
        if (hasProperty(device.get(), "ID_INPUT_KEYBOARD")) {
            TRACE_VERBOSE << "Found keyboard [" << name << "]" << std::endl;
            found.keyboard = true;
        }
        if (hasProperty(device.get(), "ID_INPUT_MOUSE")) {
            TRACE_VERBOSE << "Found mouse [" << name << "]" << std::endl;
            found.mouse = true;
        }
        if (hasProperty(device.get(), "ID_INPUT_TOUCHPAD")) {
            TRACE_VERBOSE << "Found touch pad [" << name << "]. Treating as mouse." << std::endl;
            found.mouse = true;
        } else if (hasProperty(device.get(), "ID_INPUT_TOUCHSCREEN")) {
            TRACE_VERBOSE << "Found touch screen [" << name << "]" << std::endl;
            found.touch = true;
            found.pen = true;
        }
    }
    return found;
}

const char* boolean(bool value)
{
    return value ? "true" : "false";
}

}  // namespace

std::future<PropertyMap> InputProvider::getProperties()
{
    // While udev's watch of input devices has announced nothing, they are not
    // enumerated again. The first enumeration, the costly one, runs beside
    // the other categories.
    return deferredAfterFirst([kept = _kept, quiet = quiet()](PropertyCollector& properties) {
        TRACE_FUNCTION("getProperties");
        TRACE_VERBOSE << "Getting INPUT properties..." << std::endl;
        const Found found = kept->get(quiet, &findInputDevices);
        properties.add(kKeyboard, boolean(found.keyboard));
        properties.add(kMouse, boolean(found.mouse));
        properties.add(kTouch, boolean(found.touch));
        properties.add(kPen, boolean(found.pen));
        TRACE_VERBOSE << "Done getting INPUT properties." << std::endl;
    });
}
