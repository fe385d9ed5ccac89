// SPDX-License-Identifier: Apache-2.0
// Owners for what the X Resize and Rotate extension hands out: screen
// resources, output info and CRTC info each have their own release function.
//
//     Base::XRRScreenResourcesHandle resources(XRRGetScreenResourcesCurrent(display, root));
#pragma once

#include "base/UniqueHandle.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

namespace Base {

using XRRScreenResourcesHandle = UniqueHandle<XRRScreenResources, XRRFreeScreenResources>;
using XRROutputInfoHandle = UniqueHandle<XRROutputInfo, XRRFreeOutputInfo>;
using XRRCrtcInfoHandle = UniqueHandle<XRRCrtcInfo, XRRFreeCrtcInfo>;

}  // namespace Base
