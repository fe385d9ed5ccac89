// SPDX-License-Identifier: Apache-2.0
// Runs work on the library's engine thread, where readings run, and waits for it.
#pragma once
#include "base/EngineThread.h"

#include <future>

namespace TestSupport {
template <typename Work>
auto onEngine(Work work) -> decltype(work())
{
    auto task = std::make_shared<std::packaged_task<decltype(work())()>>(std::move(work));
    Base::EngineThread::post([task] { (*task)(); });
    return task->get_future().get();
}
inline void drainEngine() { onEngine([] {}); }  // everything queued so far has run
}  // namespace TestSupport
