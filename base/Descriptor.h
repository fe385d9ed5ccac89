// An owned file descriptor: closed exactly once, whichever way the owning
// scope is left. -1 is no descriptor.
//
//     Base::Descriptor socket(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
//     if (!socket) { ... }
#pragma once

#include <unistd.h>

#include <utility>

namespace Base {

class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int descriptor) : _descriptor(descriptor) {}
    ~Descriptor() { reset(); }

    Descriptor(Descriptor&& other) noexcept : _descriptor(other.release()) {}
    Descriptor& operator=(Descriptor&& other) noexcept
    {
        reset(other.release());
        return *this;
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return _descriptor; }
    explicit operator bool() const { return _descriptor >= 0; }

    int release() { return std::exchange(_descriptor, -1); }
    void reset(int descriptor = -1)
    {
        if (_descriptor >= 0) {
            ::close(_descriptor);
        }
        _descriptor = descriptor;
    }

private:
    int _descriptor = -1;
};

}  // namespace Base
