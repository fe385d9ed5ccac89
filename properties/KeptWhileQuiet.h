// SPDX-License-Identifier: Apache-2.0
// A provider's reading of sources that its change watch covers entirely (a
// D-Bus service, for instance), kept while the watch runs with every source in
// place and has announced nothing since: then reading again would only ask
// the same question and get the same answer. Anything the watch announces or
// may have missed, or no watch at all, makes the next reading read afresh.
//
//     std::shared_ptr<KeptWhileQuiet<State>> _state = std::make_shared<...>();
//     ...
//     const State state = kept->get(quiet, &readState);   // quiet: Provider::quiet()
#pragma once

#include "base/ChangeWatch.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

template <class T>
class KeptWhileQuiet {
public:
    template <class Read>
    T get(const std::shared_ptr<const Base::ChangeWatch::Quiet>& quiet, Read&& read)
    {
        // The generation is taken before reading: a change while reading makes
        // the kept value stale at once.
        const std::optional<std::uint64_t> now =
            quiet && quiet->complete ? std::optional<std::uint64_t>(quiet->generation.load()) : std::nullopt;
        {
            std::lock_guard<std::mutex> lock(_mutex);
            if (now && _value && _generation == now && quiet->complete) {
                return *_value;
            }
        }
        T value = read();
        std::lock_guard<std::mutex> lock(_mutex);
        _generation = now;
        _value = value;
        return value;
    }

private:
    std::mutex _mutex;
    std::optional<std::uint64_t> _generation;
    std::optional<T> _value;
};
