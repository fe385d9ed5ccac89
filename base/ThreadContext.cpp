// SPDX-License-Identifier: Apache-2.0
#include "base/ThreadContext.h"

namespace Base {

namespace {

// Dispatches of what is left that the context's end waits for at most: a
// client released during the reading leaves a few (its proxies' last replies).
constexpr int kLastDispatches = 64;

}  // namespace

ThreadContext::ThreadContext() : _context(g_main_context_new())
{
    g_main_context_push_thread_default(_context.get());
}

ThreadContext::~ThreadContext()
{
    for (int dispatched = 0; dispatched < kLastDispatches && g_main_context_iteration(_context.get(), FALSE);
         ++dispatched) {
    }
    g_main_context_pop_thread_default(_context.get());
}

}  // namespace Base
