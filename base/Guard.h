// SPDX-License-Identifier: Apache-2.0
// Entry points of a C caller (the hosting client, GLib) run their work through
// guarded(): an exception is logged under the entry point's name and never
// crosses into the caller. A thread cancellation's forced unwind passes on.
#pragma once

#include "base/Logging.h"

#include <cxxabi.h>

#include <exception>
#include <iostream>

namespace Base {

template <typename Result, typename Work>
Result guarded(const char* function, Result fallback, Work&& work)
{
    try {
        try {
            return work();
        } catch (abi::__forced_unwind&) {
            throw;
        } catch (const std::exception& error) {
            [[maybe_unused]] const char* cvLogFunction = function;
            TRACE_ERROR << "Failed with error [" << error.what() << "]" << std::endl;
        } catch (...) {
            [[maybe_unused]] const char* cvLogFunction = function;
            TRACE_ERROR << "Failed with an unknown exception" << std::endl;
        }
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        // Logging itself failed: nothing more can be done.
    }
    return fallback;
}

template <typename Work>
void guarded(const char* function, Work&& work)
{
    guarded(function, 0, [&] {
        work();
        return 0;
    });
}

// Writes a function's ENTER line now and its EXIT line on every way out.
class FunctionTrace {
public:
    explicit FunctionTrace(const char* name) : _name(name)
    {
        [[maybe_unused]] const char* cvLogFunction = _name;
        TRACE_ENTER;
    }
    ~FunctionTrace()
    {
        [[maybe_unused]] const char* cvLogFunction = _name;
        TRACE_EXIT;
    }
    FunctionTrace(const FunctionTrace&) = delete;
    FunctionTrace& operator=(const FunctionTrace&) = delete;

private:
    const char* _name;
};

}  // namespace Base
