// SPDX-License-Identifier: Apache-2.0
#include "base/LazyLibrary.h"

#include "base/Logging.h"

#include <dlfcn.h>

#include <iostream>
#include <set>

namespace Base {

namespace {

// The sonames come from the build (the libraries it was configured with).
LazyLibrary* libraries()
{
    using L = LazyLibrary;
    // Never destroyed: a provider's worker may still load or call while the process exits.
    static LazyLibrary* const all = new LazyLibrary[L::kCount]{
        {CVCLIENT_SONAME_GLIB, 0},
        {CVCLIENT_SONAME_GOBJECT, L::bit(L::GLib)},
        {CVCLIENT_SONAME_GIO, L::bit(L::GObject)},
        {CVCLIENT_SONAME_SYSTEMD, 0},
        {CVCLIENT_SONAME_NM, L::bit(L::Gio)},
        {CVCLIENT_SONAME_CURL, 0},
        {CVCLIENT_SONAME_XCB, 0},
        {CVCLIENT_SONAME_XCB_RANDR, L::bit(L::Xcb)},
        {CVCLIENT_SONAME_XCB_XKB, L::bit(L::Xcb)},
        {CVCLIENT_SONAME_UDEV, 0},
        {CVCLIENT_SONAME_CRYPTO, 0},
    };
    return all;
}

// What a stub calls when its function cannot be had.
extern "C" long cvclient_lazy_zero()
{
    return 0;
}

}  // namespace

const LazyLibrary& LazyLibrary::require(Id id)
{
    LazyLibrary& library = libraries()[id];
    std::call_once(library._once, [&library] { library.load(); });
    return library;
}

const LazyLibrary* LazyLibrary::requireAll(Set wanted)
{
    for (int id = 0; id < kCount; ++id) {
        if ((wanted & bit(static_cast<Id>(id))) != 0) {
            const LazyLibrary& library = require(static_cast<Id>(id));
            if (!library) {
                return &library;
            }
        }
    }
    return nullptr;
}

bool LazyLibrary::requireFor(const std::string& category, Set wanted)
{
    const LazyLibrary* missing = requireAll(wanted);
    if (missing == nullptr) {
        return true;
    }
    static std::mutex mutex;
    static std::set<std::string>* const logged = new std::set<std::string>;
    bool first = false;
    {
        const std::lock_guard lock(mutex);
        first = logged->insert(category).second;
    }
    if (first) {
        TRACE_FUNCTION("LazyLibrary");
        TRACE_ERROR << "Category [" << category << "] needs [" << missing->_soname
                    << "], which cannot be loaded: " << missing->_error << std::endl;
    }
    return false;
}

LazyLibrary::Id LazyLibrary::named(std::string_view soname)
{
    int id = 0;
    while (id < kCount && soname != libraries()[id]._soname) {
        ++id;
    }
    return static_cast<Id>(id);
}

void LazyLibrary::load()
{
    if (const LazyLibrary* missing = requireAll(_needs)) {
        _error = std::string(missing->_soname) + " cannot be loaded: " + missing->_error;
        return;
    }
    // Kept in the process even when this handle is closed: objects of the
    // library (GObject types, xcb's extension data) may outlive any owner.
    _handle = dlopen(_soname, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (_handle == nullptr) {
        const char* text = dlerror();
        _error = text != nullptr ? text : "unknown error";
        return;
    }
    TRACE_FUNCTION("LazyLibrary");
    TRACE_VERBOSE << "Loaded [" << _soname << "]" << std::endl;
}

void* LazyLibrary::symbol(const char* name) const
{
    return _handle != nullptr ? dlsym(_handle, name) : nullptr;
}

LazyLibrary::~LazyLibrary()
{
    if (_handle != nullptr) {
        dlclose(_handle);
    }
}

}  // namespace Base

void* cvclient_lazy_resolve(const char* soname, const char* name)
{
    // Nothing may unwind into the stubs, which have no unwind tables.
    try {
        using Base::LazyLibrary;
        const LazyLibrary::Id id = LazyLibrary::named(soname);
        std::string problem = "not a library loaded on first use";
        if (id != LazyLibrary::kCount) {
            const LazyLibrary& library = LazyLibrary::require(id);
            if (void* function = library.symbol(name)) {
                return function;
            }
            problem = library ? "no such function" : library.error();
        }
        // Reached only when a caller did not require the library first.
        TRACE_FUNCTION("LazyLibrary");
        TRACE_ERROR << "Function [" << name << "] of [" << soname << "] cannot be had: " << problem << std::endl;
    } catch (...) {
    }
    return reinterpret_cast<void*>(&Base::cvclient_lazy_zero);
}
