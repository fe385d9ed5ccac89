#include "support/TempDir.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace TestSupport {

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "cvclient-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    _path = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(_path, ignored);
}

std::string TempDir::write(const std::string& name, const std::string& content, bool executable) const
{
    const std::string full = file(name);
    {
        std::ofstream out(full, std::ios::binary | std::ios::trunc);
        out << content;
    }
    chmod(full.c_str(), executable ? 0755 : 0644);
    return full;
}

std::string TempDir::script(const std::string& name, const std::string& body) const
{
    return write(name, "#!/bin/sh\n" + body + "\n", true);
}

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string>& value) : _name(std::move(name))
{
    if (const char* previous = std::getenv(_name.c_str())) {
        _previous = previous;
    }
    if (value) {
        setenv(_name.c_str(), value->c_str(), 1);
    } else {
        unsetenv(_name.c_str());
    }
}

ScopedEnv::~ScopedEnv()
{
    if (_previous) {
        setenv(_name.c_str(), _previous->c_str(), 1);
    } else {
        unsetenv(_name.c_str());
    }
}

std::string pathWith(const std::string& directory)
{
    const char* path = std::getenv("PATH");
    return directory + ":" + (path != nullptr ? path : "/usr/bin:/bin");
}

std::string readWhole(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

}  // namespace TestSupport
