// SPDX-License-Identifier: Apache-2.0
#include "base/SignalStack.h"

#include <signal.h>
#include <sys/mman.h>

namespace Base {

SignalStack::SignalStack()
{
    stack_t current{};
    if (sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0) {
        // The thread has one already (its creator's, or the host's): keep it.
        return;
    }
    void* memory = mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (memory == MAP_FAILED) {
        return;
    }
    stack_t stack{};
    stack.ss_sp = memory;
    stack.ss_size = kSize;
    stack.ss_flags = 0;
    if (sigaltstack(&stack, nullptr) != 0) {
        munmap(memory, kSize);
        return;
    }
    _memory = memory;
    _replaced = true;
}

SignalStack::~SignalStack()
{
    if (!_replaced) {
        return;
    }
    stack_t disable{};
    disable.ss_flags = SS_DISABLE;
    sigaltstack(&disable, nullptr);
    munmap(_memory, kSize);
}

}  // namespace Base
