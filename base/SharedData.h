// SPDX-License-Identifier: Apache-2.0
// A shared pointer handed to GLib as a callback's data: GLib holds a
// reference of its own until it calls the destroy notify, so the object
// outlives its other owners for as long as GLib may still call back.
//
//     g_source_set_callback(source, &fired, Base::sharedData(state), &Base::releaseSharedData<State>);
//     ...
//     gboolean fired(gpointer data) { State& state = Base::fromSharedData<State>(data); ... }
#pragma once

#include <glib.h>

#include <memory>

namespace Base {

template <typename T>
gpointer sharedData(std::shared_ptr<T> shared)
{
    return new std::shared_ptr<T>(std::move(shared));
}

template <typename T>
T& fromSharedData(gpointer data)
{
    return **static_cast<std::shared_ptr<T>*>(data);
}

// A GDestroyNotify.
template <typename T>
void releaseSharedData(gpointer data)
{
    delete static_cast<std::shared_ptr<T>*>(data);
}

}  // namespace Base
