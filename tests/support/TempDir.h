// A temporary directory for one test, removed with everything in it; and a
// scoped environment variable, restored when the scope ends.
#pragma once

#include <optional>
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
    std::string script(const std::string& name, const std::string& body) const;

private:
    std::string _path;
};

class ScopedEnv {
public:
    // Sets (or with nullopt, unsets) `name` for the life of the object.
    ScopedEnv(std::string name, const std::optional<std::string>& value);
    ~ScopedEnv();

    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string _name;
    std::optional<std::string> _previous;
};

// The directory put in front of PATH, so fake tools win over real ones.
std::string pathWith(const std::string& directory);

// The whole content of a file ("" when missing).
std::string readWhole(const std::string& path);

}  // namespace TestSupport
