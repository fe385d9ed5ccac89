// Owners for Xlib objects: a display connection and memory Xlib hands out.
//
//     Base::XDisplayHandle display(XOpenDisplay(nullptr));
#pragma once

#include "base/UniqueHandle.h"

#include <X11/Xlib.h>

namespace Base {

using XDisplayHandle = UniqueHandle<Display, XCloseDisplay>;

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
