#include "support/IgelRoot.h"

#include "support/MountNamespace.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <stdexcept>

namespace TestSupport {

namespace {

void fail(const std::string& what)
{
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

void mountOrFail(const char* source, const std::string& target, const char* type, unsigned long flags,
                 const char* options)
{
    if (mount(source, target.c_str(), type, flags, options) != 0) {
        fail("cannot mount " + std::string(source) + " on " + target);
    }
}

// A tmpfs with a bind mount of every top-level entry of the current root,
// moved over "/" and made the process's root.
void moveOntoOwnRoot()
{
    requirePrivateMountNamespace();
    std::string staging = (std::filesystem::temp_directory_path() / "cvclient-root-XXXXXX").string();
    if (mkdtemp(staging.data()) == nullptr) {
        fail("mkdtemp");
    }
    mountOrFail("cvclient-root", staging, "tmpfs", MS_NOSUID | MS_NODEV, "size=4m,mode=0755");
    for (const auto& entry : std::filesystem::directory_iterator("/")) {
        const std::filesystem::path target = std::filesystem::path(staging) / entry.path().filename();
        if (entry.is_symlink()) {
            std::filesystem::create_symlink(std::filesystem::read_symlink(entry.path()), target);
        } else if (entry.is_directory()) {
            std::filesystem::create_directory(target);
            mountOrFail(entry.path().c_str(), target, nullptr, MS_BIND | MS_REC, nullptr);
        } else {
            std::ofstream{target};
            mountOrFail(entry.path().c_str(), target, nullptr, MS_BIND, nullptr);
        }
    }
    if (chdir(staging.c_str()) != 0) {
        fail("chdir " + staging);
    }
    mountOrFail(".", "/", nullptr, MS_MOVE, nullptr);
    if (chroot(".") != 0 || chdir("/") != 0) {
        fail("chroot");
    }
    // The staging directory is an empty directory of the machine's /tmp again;
    // the recursive bind of /tmp holds a copy of its mount.
    umount2(staging.c_str(), MNT_DETACH);
    rmdir(staging.c_str());
}

}  // namespace

void makeRootDirectory(const std::string& name)
{
    static std::once_flag moved;
    std::call_once(moved, &moveOntoOwnRoot);
    const std::string path = "/" + name;
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
        fail("mkdir " + path);
    }
}

ScopedOverlay::ScopedOverlay(std::string directory) : _directory(std::move(directory))
{
    // The layers live outside every directory that may be overlaid.
    static int made = 0;
    _layers = "cvclient-layers-" + std::to_string(++made);
    makeRootDirectory(_layers);
    _layers = "/" + _layers;
    mountOrFail("cvclient-layers", _layers, "tmpfs", MS_NOSUID | MS_NODEV, "size=8m,mode=0755");
    std::filesystem::create_directory(_layers + "/upper");
    std::filesystem::create_directory(_layers + "/work");
    const std::string options =
        "lowerdir=" + _directory + ",upperdir=" + _layers + "/upper,workdir=" + _layers + "/work";
    mountOrFail("cvclient-overlay", _directory, "overlay", 0, options.c_str());
}

ScopedOverlay::~ScopedOverlay()
{
    for (const std::string& mounted : {_directory, _layers}) {
        if (umount2(mounted.c_str(), 0) != 0) {
            umount2(mounted.c_str(), MNT_DETACH);
        }
    }
    rmdir(_layers.c_str());
}

std::string ScopedOverlay::write(const std::string& name, const std::string& content) const
{
    const std::string full = _directory + "/" + name;
    std::ofstream(full, std::ios::binary | std::ios::trunc) << content;
    return full;
}

}  // namespace TestSupport
