// SPDX-License-Identifier: Apache-2.0
// xcb's XKB header for C++: one of its fields is named `explicit`, a C++
// keyword, so it is renamed while the header is read.
#pragma once

#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit
