// SPDX-License-Identifier: Apache-2.0
// The platform libraries the library loads when it first needs them, rather
// than when the hosting client loads it: GLib (the engine thread), libsystemd
// (sd-bus), and the libraries of single categories (libnm, libcurl,
// xcb with its RandR and XKB, libudev, OpenSSL's libcrypto). Each is loaded
// once per process, with what it needs first (xcb's RandR needs xcb), and kept for the life
// of the process; a library that cannot be loaded is not tried again.
//
//     const Base::LazyLibrary& nm = Base::LazyLibrary::require(Base::LazyLibrary::NetworkManager);
//     if (!nm) { ... nm.error() names the soname and says why ... }
//
// Where the shared library reaches these libraries through its generated
// stubs (scripts/lazy-stubs.py), the stubs find each function through
// cvclient_lazy_resolve() below, and require() is what decides whether a
// category may call into a library at all. Where they are linked directly
// (the tests' programs, other processors), require() still loads each by
// its soname, so a missing library is reported the same way.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace Base {

class LazyLibrary {
public:
    enum Id : uint8_t { GLib, GObject, Gio, Systemd, NetworkManager, Curl, Xcb, XcbRandr, XcbXkb, Udev, Crypto, kCount };
    // A set of libraries, one bit each (1 << Id).
    using Set = uint32_t;
    static constexpr Set bit(Id id) { return Set{1} << id; }

    // The library `id`, loaded now unless it was tried before; thread-safe.
    static const LazyLibrary& require(Id id);
    // The first library of `libraries` that cannot be loaded, after loading
    // them in Id order; null when all of them are loaded.
    static const LazyLibrary* requireAll(Set libraries);
    // For category `category`: whether all of `libraries` are loaded. When
    // one is not, one ERROR line names it, once per category in the process.
    static bool requireFor(const std::string& category, Set libraries);
    // The library of this soname; kCount when it is not one of these.
    static Id named(std::string_view soname);

    explicit operator bool() const { return _handle != nullptr; }
    const char* soname() const { return _soname; }
    // Why it cannot be loaded (the loader's text); empty when it is loaded.
    const std::string& error() const { return _error; }
    // The function `name` of the loaded library; null when there is none.
    void* symbol(const char* name) const;

    LazyLibrary(const char* soname, Set needs) : _soname(soname), _needs(needs) {}
    ~LazyLibrary();
    LazyLibrary(const LazyLibrary&) = delete;
    LazyLibrary& operator=(const LazyLibrary&) = delete;

private:
    void load();

    const char* const _soname;
    const Set _needs;
    std::once_flag _once;
    void* _handle = nullptr;  // dlopen's, loaded with RTLD_NODELETE
    std::string _error;
};

}  // namespace Base

// For the generated stubs: the function `name` of the library `soname`,
// loaded now if need be; when it cannot be had, one ERROR line and a function
// that returns 0.
extern "C" __attribute__((visibility("hidden"))) void* cvclient_lazy_resolve(const char* soname, const char* name);
