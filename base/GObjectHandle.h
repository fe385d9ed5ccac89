// SPDX-License-Identifier: Apache-2.0
// Owners for GLib/GObject references (a UPower client, a device list), so no
// early return leaks one:
//
//     Base::GObjectHandle<UpClient> client(up_client_new());
//     Base::PtrArrayHandle devices(up_client_get_devices2(client.get()));
#pragma once

#include "base/UniqueHandle.h"

#include <glib-object.h>

namespace Base {

template <typename T>
using GObjectHandle = UniqueHandle<T, g_object_unref>;

using PtrArrayHandle = UniqueHandle<GPtrArray, g_ptr_array_unref>;
using GErrorHandle = UniqueHandle<GError, g_error_free>;

}  // namespace Base
