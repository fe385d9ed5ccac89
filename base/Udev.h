// SPDX-License-Identifier: Apache-2.0
// Owners for libudev objects, so no early return leaks a reference:
//
//     Base::UdevHandle udev(udev_new());
//     Base::UdevDeviceHandle device(udev_device_new_from_syspath(udev.get(), path));
#pragma once

#include "base/UniqueHandle.h"

#include <libudev.h>

namespace Base {

using UdevHandle = UniqueHandle<udev, udev_unref>;
using UdevDeviceHandle = UniqueHandle<udev_device, udev_device_unref>;
using UdevMonitorHandle = UniqueHandle<udev_monitor, udev_monitor_unref>;

}  // namespace Base
