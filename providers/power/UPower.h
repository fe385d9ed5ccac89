// SPDX-License-Identifier: Apache-2.0
// UPower's names on the system bus, for the categories that ask it: Power
// (its devices) and Hardware (the lid).
#pragma once

namespace UPower {

constexpr const char* kService = "org.freedesktop.UPower";  // also the manager's interface
constexpr const char* kManager = "/org/freedesktop/UPower";
constexpr const char* kDevice = "org.freedesktop.UPower.Device";

}  // namespace UPower
