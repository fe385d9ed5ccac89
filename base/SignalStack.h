// SPDX-License-Identifier: Apache-2.0
// An alternate signal stack for the calling thread, for as long as the owner
// lives. Every thread the library starts creates one first, so that a fault
// handler still runs when the thread has overflowed its own stack.
//
//     std::thread([] {
//         const Base::SignalStack stack;
//         ...
//     });
#pragma once

#include <cstddef>

namespace Base {

class SignalStack {
public:
    SignalStack();
    ~SignalStack();

    SignalStack(const SignalStack&) = delete;
    SignalStack& operator=(const SignalStack&) = delete;

    // True when this owner installed a stack; false when the thread already
    // had one (kept as it is) or none could be made.
    bool installed() const { return _memory != nullptr; }

    static constexpr std::size_t kSize = 64 * 1024;

private:
    void* _memory = nullptr;
    bool _replaced = false;
};

}  // namespace Base
