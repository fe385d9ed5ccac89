// Runs work on the library's engine thread, where readings run, and waits
// for it: for units that must be called there.
//
//     PropertyMap properties = TestSupport::onEngine([&] { return provider.getProperties().get(); });
#pragma once

#include "base/EngineThread.h"

#include <future>
#include <memory>
#include <utility>

namespace TestSupport {

template <typename Work>
auto onEngine(Work work) -> decltype(work())
{
    auto task = std::make_shared<std::packaged_task<decltype(work())()>>(std::move(work));
    auto result = task->get_future();
    Base::EngineThread::post([task] { (*task)(); });
    return result.get();
}

// Returns once everything queued on the engine thread so far has run.
inline void drainEngine()
{
    onEngine([] {});
}

}  // namespace TestSupport
