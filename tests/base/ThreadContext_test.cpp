// SPDX-License-Identifier: Apache-2.0
#include "base/ThreadContext.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

// Attaches to the calling thread's default context a source that sets `flag` when dispatched.
void attachIdle(bool& flag)
{
    GSource* idle = g_idle_source_new();
    g_source_set_callback(idle, +[](gpointer data) {
        *static_cast<bool*>(data) = true;
        return gboolean{G_SOURCE_REMOVE};
    }, &flag, nullptr);
    g_source_attach(idle, g_main_context_get_thread_default());
    g_source_unref(idle);
}

}  // namespace

// On a thread without a context of its own (a reading's) and on one that has one (the engine's): while it
// lives, what is attached goes to a context that is neither the process's default nor the thread's; at its
// end that is dispatched and the thread's own context is back.
TEST(ThreadContext, WhatIsAttachedMeanwhileGoesToItAndIsDispatchedAtItsEnd)
{
    for (const bool threadHasOne : {false, true}) {
        std::thread([threadHasOne] {
            GMainContext* outer = threadHasOne ? g_main_context_new() : nullptr;
            if (outer != nullptr) {
                g_main_context_push_thread_default(outer);
            }
            bool dispatched = false;
            {
                const Base::ThreadContext context;
                GMainContext* own = g_main_context_get_thread_default();
                EXPECT_NE(own, nullptr);
                EXPECT_NE(own, g_main_context_default());
                EXPECT_NE(own, outer);
                attachIdle(dispatched);
                EXPECT_FALSE(dispatched);
            }
            EXPECT_TRUE(dispatched) << threadHasOne;
            EXPECT_EQ(g_main_context_get_thread_default(), outer);
            EXPECT_FALSE(g_main_context_pending(g_main_context_default()));
            if (outer != nullptr) {
                EXPECT_FALSE(g_main_context_pending(outer));
                g_main_context_pop_thread_default(outer);
                g_main_context_unref(outer);
            }
        }).join();
    }
}
