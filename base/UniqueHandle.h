// SPDX-License-Identifier: Apache-2.0
// Unique owners for C library handles: the release function runs exactly
// once, whichever way the owning scope is left.
//
// A handle that is a pointer names its type and release function:
//
//     addrinfo* raw = nullptr;
//     const int result = getaddrinfo(host, "http", &hints, &raw);
//     Base::UniqueHandle<addrinfo, freeaddrinfo> results(raw);
//
// A handle that is a plain value (a descriptor, a context number) names a
// traits type: the value that is no handle, and how a handle is released:
//
//     struct DescriptorTraits {
//         static constexpr int invalid = -1;
//         static void release(int descriptor) { ::close(descriptor); }
//     };
//     using Descriptor = Base::UniqueValue<int, DescriptorTraits>;
#pragma once

#include <type_traits>
#include <utility>

namespace Base {

template <typename T, typename Traits>
class UniqueValue {
public:
    UniqueValue() = default;
    explicit UniqueValue(T handle) : _handle(handle) {}
    ~UniqueValue() { reset(); }

    UniqueValue(UniqueValue&& other) noexcept : _handle(other.release()) {}
    UniqueValue& operator=(UniqueValue&& other) noexcept
    {
        reset(other.release());
        return *this;
    }
    UniqueValue(const UniqueValue&) = delete;
    UniqueValue& operator=(const UniqueValue&) = delete;

    T get() const { return _handle; }
    T operator->() const
        requires std::is_pointer_v<T>
    {
        return _handle;
    }
    explicit operator bool() const { return _handle != Traits::invalid; }

    // Gives the handle up without releasing it.
    T release() { return std::exchange(_handle, Traits::invalid); }

    // Releases the handle held, if any, and takes `handle`; the one held
    // again is kept as it is.
    void reset(T handle = Traits::invalid)
    {
        if (handle == _handle) {
            return;
        }
        const T old = std::exchange(_handle, handle);
        if (old != Traits::invalid) {
            Traits::release(old);
        }
    }

private:
    T _handle = Traits::invalid;
};

template <typename T, auto Release>
struct PointerTraits {
    static constexpr T* invalid = nullptr;
    static void release(T* handle) { Release(handle); }
};

template <typename T, auto Release>
using UniqueHandle = UniqueValue<T*, PointerTraits<T, Release>>;

}  // namespace Base
