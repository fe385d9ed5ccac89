// Files at fixed system paths for one test, through mounts that only this
// process sees. The test process must run in a mount namespace of its own
// (`unshare -m --propagation private TEST`); otherwise these throw rather
// than mount over the machine's own files.
//
//     TestSupport::ScopedTmpfs firmware("/sys/firmware");  // empty, so no efi
//     firmware.makeDirectory("efi");                        // now there is one
#pragma once

#include <string>

namespace TestSupport {

// Throws std::runtime_error unless the process has a private mount namespace.
void requirePrivateMountNamespace();

// An empty tmpfs over an existing directory, unmounted when the object goes.
class ScopedTmpfs {
public:
    explicit ScopedTmpfs(std::string mountPoint);
    ~ScopedTmpfs();
    ScopedTmpfs(const ScopedTmpfs&) = delete;
    ScopedTmpfs& operator=(const ScopedTmpfs&) = delete;

    // Writes `content` to `relative` inside the tmpfs, creating its
    // directories; returns the full path.
    std::string write(const std::string& relative, const std::string& content) const;
    std::string makeDirectory(const std::string& relative) const;

private:
    std::string _mountPoint;
};

// `source` bind-mounted over the existing file or directory `target`.
class ScopedBindMount {
public:
    ScopedBindMount(const std::string& source, std::string target);
    ~ScopedBindMount();
    ScopedBindMount(const ScopedBindMount&) = delete;
    ScopedBindMount& operator=(const ScopedBindMount&) = delete;

private:
    std::string _target;
};

}  // namespace TestSupport
