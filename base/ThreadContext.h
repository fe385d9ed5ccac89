// SPDX-License-Identifier: Apache-2.0
// A GLib main context of the calling thread's own while the object lives, for
// a reading that asks a D-Bus service through a library client (UPower's) on
// a thread other than the engine's: what the client's proxies deliver goes to
// this context, never to the process's default context, which belongs to the
// hosting client. When the object goes, what is still pending there is
// dispatched and the context is let go.
//
//     const Base::ThreadContext context;
//     const Base::GObjectHandle<UpClient> client(up_client_new_full(nullptr, &error));
#pragma once

#include "base/GObjectHandle.h"

namespace Base {

class ThreadContext {
public:
    ThreadContext();
    ~ThreadContext();
    ThreadContext(const ThreadContext&) = delete;
    ThreadContext& operator=(const ThreadContext&) = delete;

private:
    UniqueHandle<GMainContext, g_main_context_unref> _context;
};

}  // namespace Base
