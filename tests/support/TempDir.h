// SPDX-License-Identifier: Apache-2.0
// A temporary directory for one test, removed with everything in it; a scoped environment variable,
// restored when the scope ends; PATH with a directory of fake tools in front; a file's whole content; the inotify descriptors the
// process holds.
#pragma once
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

namespace TestSupport {
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return _path; }
    std::string file(const std::string& name) const { return _path + "/" + name; }
    // Writes `content` to `name` inside the directory; returns the full path.
    std::string write(const std::string& name, const std::string& content, bool executable = false) const;
    // Writes an executable shell script (a "#!/bin/sh" line is put in front).
    std::string script(const std::string& name, const std::string& body) const
    {
        return write(name, "#!/bin/sh\n" + body + "\n", true);
    }

private:
    std::string _path;
};
class ScopedEnv {
public:
    ScopedEnv(std::string name, const std::optional<std::string>& value);  // nullopt: unset
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string _name;
    std::optional<std::string> _previous;
};
std::string pathWith(const std::string& directory);
inline std::string readWhole(const std::string& path)  // "" when missing
{
    std::ostringstream content;
    content << std::ifstream(path, std::ios::binary).rdbuf();
    return content.str();
}
// The watches of this process's inotify descriptors, as the kernel lists them.
std::size_t inotifyWatches();
std::size_t inotifyDescriptors();
}  // namespace TestSupport
