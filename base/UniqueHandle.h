// A unique owner for a C library handle: the release function runs exactly
// once, whichever way the owning scope is left.
//
//     addrinfo* raw = nullptr;
//     const int result = getaddrinfo(host, "http", &hints, &raw);
//     Base::UniqueHandle<addrinfo, freeaddrinfo> results(raw);
#pragma once

#include <memory>

namespace Base {

template <typename T, auto Release>
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(T* handle) : _handle(handle) {}

    T* get() const { return _handle.get(); }
    T* operator->() const { return _handle.get(); }
    explicit operator bool() const { return static_cast<bool>(_handle); }
    T* release() { return _handle.release(); }
    void reset(T* handle = nullptr) { _handle.reset(handle); }

private:
    struct Deleter {
        void operator()(T* handle) const { Release(handle); }
    };
    std::unique_ptr<T, Deleter> _handle;
};

}  // namespace Base
