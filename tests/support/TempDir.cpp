// SPDX-License-Identifier: Apache-2.0
#include "support/TempDir.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

namespace TestSupport {
TempDir::TempDir() : _path((std::filesystem::temp_directory_path() / "cvclient-test-XXXXXX").string())
{
    if (mkdtemp(_path.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
}
TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(_path, ignored);
}
std::string TempDir::write(const std::string& name, const std::string& content, bool executable) const
{
    std::ofstream(file(name), std::ios::binary | std::ios::trunc) << content;
    chmod(file(name).c_str(), executable ? 0755 : 0644);
    return file(name);
}
static void assign(const std::string& name, const std::optional<std::string>& value)
{
    value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
}
ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string>& value) : _name(std::move(name))
{
    if (const char* previous = std::getenv(_name.c_str())) _previous = previous;
    assign(_name, value);
}
ScopedEnv::~ScopedEnv() { assign(_name, _previous); }
std::string pathWith(const std::string& directory)
{
    const char* path = std::getenv("PATH");
    return directory + ":" + (path != nullptr ? path : "/usr/bin:/bin");
}
std::size_t inotifyWatches()
{
    std::size_t watches = 0;
    std::error_code gone;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        if (std::filesystem::read_symlink(entry.path(), gone) != "anon_inode:inotify") continue;
        std::ifstream info("/proc/self/fdinfo/" + entry.path().filename().string());
        for (std::string line; std::getline(info, line);) watches += line.rfind("inotify wd:", 0) == 0 ? 1 : 0;
    }
    return watches;
}
std::size_t inotifyDescriptors()
{
    std::error_code gone;
    return static_cast<std::size_t>(
        std::count_if(std::filesystem::directory_iterator("/proc/self/fd"), {}, [&gone](const auto& entry) {
            return std::filesystem::read_symlink(entry.path(), gone) == "anon_inode:inotify";
        }));
}
}  // namespace TestSupport
