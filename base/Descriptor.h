// SPDX-License-Identifier: Apache-2.0
// An owned file descriptor: closed exactly once, whichever way the owning
// scope is left. -1 is no descriptor.
//
//     Base::Descriptor socket(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
//     if (!socket) { ... }
#pragma once

#include "base/UniqueHandle.h"

#include <unistd.h>

namespace Base {

struct DescriptorTraits {
    static constexpr int invalid = -1;
    static void release(int descriptor) { ::close(descriptor); }
};

using Descriptor = UniqueValue<int, DescriptorTraits>;

}  // namespace Base
