// SPDX-License-Identifier: Apache-2.0
// Files at fixed system paths for one test, through mounts that only this process sees. The test process must run
// in a mount namespace of its own (`unshare -m --propagation private TEST`); otherwise these throw rather than mount
// over the machine's own files.
//
//     TestSupport::ScopedTmpfs firmware("/sys/firmware");  // empty, so no efi
//     firmware.makeDirectory("efi");                        // now there is one
#pragma once
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace TestSupport {
// Throws std::runtime_error unless the process has a private mount namespace: one its parent does not share (as
// `unshare -m` makes), from which nothing mounted reaches the namespace it came from.
inline void requirePrivateMountNamespace()
{
    static const bool own = [] {
        struct stat mine {}, parents {};
        const std::string parent = "/proc/" + std::to_string(getppid()) + "/ns/mnt";
        return stat("/proc/self/ns/mnt", &mine) == 0 && stat(parent.c_str(), &parents) == 0 &&
               (mine.st_dev != parents.st_dev || mine.st_ino != parents.st_ino) &&
               mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    }();
    if (!own) throw std::runtime_error("these tests mount over system paths: run them as root under `unshare -m`");
}
// A root of this process's own, so that top-level directories such as IGEL's /wfs can be made: a tmpfs (on the empty
// /srv while it is filled) with a bind of every other top-level entry, moved to / and entered. Once per process.
inline void enterPrivateRoot()
{
    requirePrivateMountNamespace();
    namespace fs = std::filesystem;
    if (mount("root", "/srv", "tmpfs", 0, "size=64m") != 0) throw std::runtime_error("cannot mount a root on /srv");
    for (const auto& entry : fs::directory_iterator("/")) {
        const fs::path target = fs::path("/srv") / entry.path().filename();
        if (entry.is_symlink()) {
            fs::create_symlink(fs::read_symlink(entry.path()), target);
        } else if (entry.path() != "/srv") {
            entry.is_directory() ? (void)fs::create_directory(target) : (void)std::ofstream(target);
            if (mount(entry.path().c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
                throw std::runtime_error("cannot bind " + entry.path().string());
        }
    }
    if (chdir("/srv") != 0 || mount(".", "/", nullptr, MS_MOVE, nullptr) != 0 || chroot(".") != 0 || chdir("/") != 0)
        throw std::runtime_error("cannot enter the root made on /srv");
}
// `source` mounted over the existing file or directory `target` (a bind mount without `type`), unmounted when the
// object goes.
class ScopedMount {
public:
    ScopedMount(const std::string& source, std::string target, const char* type = nullptr, const char* options = nullptr)
        : _target(std::move(target))
    {
        requirePrivateMountNamespace();
        if (mount(source.c_str(), _target.c_str(), type, type ? MS_NOSUID | MS_NODEV : MS_BIND, options) != 0)
            throw std::runtime_error("cannot mount " + source + " over " + _target + ": " + std::strerror(errno));
    }
    ~ScopedMount() { umount2(_target.c_str(), 0) == 0 || umount2(_target.c_str(), MNT_DETACH); }
    ScopedMount(const ScopedMount&) = delete;
    ScopedMount& operator=(const ScopedMount&) = delete;

protected:
    std::string _target;
};
// An empty tmpfs over an existing directory. write() and makeDirectory() make what they name inside it, with the
// directories on the way, and return its full path.
class ScopedTmpfs : public ScopedMount {
public:
    explicit ScopedTmpfs(std::string mountPoint)
        : ScopedMount("cvclient-test", std::move(mountPoint), "tmpfs", "size=4m,mode=0755") {}
    std::string write(const std::string& relative, const std::string& content) const
    {
        const std::filesystem::path full = std::filesystem::path(makeDirectory(".")) / relative;
        std::filesystem::create_directories(full.parent_path());
        std::ofstream(full, std::ios::binary | std::ios::trunc) << content;
        return full.lexically_normal().string();
    }
    std::string makeDirectory(const std::string& relative) const
    {
        const std::filesystem::path full = std::filesystem::path(_target) / relative;
        std::filesystem::create_directories(full);
        return full.string();
    }
};
}  // namespace TestSupport
