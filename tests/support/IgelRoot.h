// Files at IGEL OS's fixed paths for tests run as root under
// `unshare -m --propagation private`: a root directory of this process's own,
// so top-level directories such as /wfs can exist without being made on the
// machine, and a writable layer over a system directory such as /usr/bin.
#pragma once

#include <string>

namespace TestSupport {

// Makes `/name` exist for this process only. The first call moves the process
// onto a root of its own (a tmpfs holding bind mounts of every top-level
// entry of the machine's root); nothing is created on the machine.
void makeRootDirectory(const std::string& name);

// An overlay over the existing directory `directory`: everything in it stays
// visible, and files made in it (through write() or otherwise) are seen by
// this process only and gone with the object. Files made in the directory
// before the overlay must not be removed while it is there.
class ScopedOverlay {
public:
    explicit ScopedOverlay(std::string directory);
    ~ScopedOverlay();
    ScopedOverlay(const ScopedOverlay&) = delete;
    ScopedOverlay& operator=(const ScopedOverlay&) = delete;

    // Writes `content` to `name` inside the directory; returns the full path.
    std::string write(const std::string& name, const std::string& content) const;

private:
    std::string _directory;
    std::string _layers;  // a tmpfs in the process's own root
};

}  // namespace TestSupport
