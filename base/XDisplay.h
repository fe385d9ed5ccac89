// SPDX-License-Identifier: Apache-2.0
// An owner for memory Xlib hands out.
//
//     Base::XMemoryHandle<char> name(XGetAtomName(display, atom));
#pragma once

#include "base/UniqueHandle.h"

#include <X11/Xlib.h>

namespace Base {

inline void freeXMemory(void* memory)
{
    if (memory != nullptr) {
        XFree(memory);
    }
}

// Memory of type T that XFree releases (a name from XGetAtomName, a list).
template <typename T>
using XMemoryHandle = UniqueHandle<T, freeXMemory>;

}  // namespace Base
