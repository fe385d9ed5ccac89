#include "support/MountNamespace.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace TestSupport {

namespace {

bool sameNamespace(const char* first, const char* second)
{
    struct stat one {};
    struct stat two {};
    if (stat(first, &one) != 0 || stat(second, &two) != 0) {
        throw std::runtime_error("cannot compare mount namespaces: " + std::string(std::strerror(errno)));
    }
    return one.st_dev == two.st_dev && one.st_ino == two.st_ino;
}

void unmount(const std::string& path)
{
    if (umount2(path.c_str(), 0) != 0) {
        umount2(path.c_str(), MNT_DETACH);
    }
}

}  // namespace

void requirePrivateMountNamespace()
{
    static const bool own = [] {
        // Started by `unshare -m`, the process has a namespace its parent
        // does not share.
        const std::string parent = "/proc/" + std::to_string(getppid()) + "/ns/mnt";
        if (sameNamespace("/proc/self/ns/mnt", parent.c_str())) {
            return false;
        }
        // Nothing mounted here may reach the namespace this one came from.
        return mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    }();
    if (!own) {
        throw std::runtime_error("these tests mount over system paths: run them as root under "
                                 "`unshare -m --propagation private`");
    }
}

ScopedTmpfs::ScopedTmpfs(std::string mountPoint) : _mountPoint(std::move(mountPoint))
{
    requirePrivateMountNamespace();
    if (mount("cvclient-test", _mountPoint.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=4m,mode=0755") != 0) {
        throw std::runtime_error("cannot mount a tmpfs on " + _mountPoint + ": " + std::strerror(errno));
    }
}

ScopedTmpfs::~ScopedTmpfs()
{
    unmount(_mountPoint);
}

std::string ScopedTmpfs::write(const std::string& relative, const std::string& content) const
{
    const std::filesystem::path full = std::filesystem::path(_mountPoint) / relative;
    std::filesystem::create_directories(full.parent_path());
    std::ofstream(full, std::ios::binary | std::ios::trunc) << content;
    return full.string();
}

std::string ScopedTmpfs::makeDirectory(const std::string& relative) const
{
    const std::filesystem::path full = std::filesystem::path(_mountPoint) / relative;
    std::filesystem::create_directories(full);
    return full.string();
}

ScopedBindMount::ScopedBindMount(const std::string& source, std::string target) : _target(std::move(target))
{
    requirePrivateMountNamespace();
    if (mount(source.c_str(), _target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        throw std::runtime_error("cannot bind " + source + " over " + _target + ": " + std::strerror(errno));
    }
}

ScopedBindMount::~ScopedBindMount()
{
    unmount(_target);
}

}  // namespace TestSupport
