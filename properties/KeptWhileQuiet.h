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
    using Quiet = std::shared_ptr<const Base::ChangeWatch::Quiet>;

    template <class Read>
    T get(const Quiet& quiet, Read&& read)
    {
        // The generation is taken before reading: a change while reading makes
        // the kept value stale at once.
        const std::optional<std::uint64_t> from = generation(quiet);
        if (std::optional<T> value = held(quiet, from)) {
            return std::move(*value);
        }
        T value = read();
        keep(from, value);
        return value;
    }

    // For a reading made elsewhere (on a thread of its own): the generation to
    // take before reading, the kept value while it holds, and keeping the
    // reading made from that generation.
    static std::optional<std::uint64_t> generation(const Quiet& quiet)
    {
        return quiet && quiet->complete ? std::optional<std::uint64_t>(quiet->generation.load()) : std::nullopt;
    }
    std::optional<T> held(const Quiet& quiet, std::optional<std::uint64_t> now)
    {
        std::lock_guard<std::mutex> lock(_mutex);
        if (now && _value && _generation == now && quiet->complete) {
            return _value;
        }
        return std::nullopt;
    }
    void keep(std::optional<std::uint64_t> from, const T& value)
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _generation = from;
        _value = value;
    }

private:
    std::mutex _mutex;
    std::optional<std::uint64_t> _generation;
    std::optional<T> _value;
};
