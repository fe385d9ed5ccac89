// SPDX-License-Identifier: Apache-2.0
#include "base/Sysfs.h"

#include "base/Descriptor.h"
#include "base/UniqueHandle.h"
#include "base/Utilities.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string_view>

namespace Base::Sysfs {

namespace {

// The target of a symbolic link; nothing when it is none or too long.
std::optional<std::string> readLink(const std::string& path)
{
    char target[PATH_MAX];
    const ssize_t length = readlink(path.c_str(), target, sizeof(target));
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof(target)) {
        if (length >= 0) {
            errno = ENAMETOOLONG;
        }
        return std::nullopt;
    }
    return std::string(target, static_cast<std::size_t>(length));
}

}  // namespace

std::optional<std::vector<std::string>> classDevices(const std::string& name)
{
    const std::string directory = "/sys/class/" + name;
    const UniqueHandle<DIR, closedir> listing(opendir(directory.c_str()));
    if (!listing) {
        // A class none of whose devices was ever added has no directory.
        return errno == ENOENT ? std::optional<std::vector<std::string>>(std::in_place) : std::nullopt;
    }
    std::vector<std::string> devices;
    while (const dirent* entry = readdir(listing.get())) {
        const std::string_view entryName = entry->d_name;
        if (entryName == "." || entryName == "..") {
            continue;
        }
        const std::string path = directory + "/" + std::string(entryName);
        if (const std::optional<std::string> link = readLink(path)) {
            devices.push_back(linkTarget(directory, *link));
        } else if (errno == EINVAL) {
            devices.push_back(path);  // the device's own directory, no link to it
        }
    }
    return devices;
}

std::optional<std::string> attribute(const std::string& directory, const char* name)
{
    const Descriptor file(open((directory + "/" + name).c_str(), O_RDONLY | O_CLOEXEC));
    std::optional<std::string> value = file ? Utilities::readDescriptor(file.get(), 4096) : std::nullopt;
    while (value && !value->empty() && (value->back() == '\n' || value->back() == '\r')) {
        value->pop_back();
    }
    return value;
}

std::optional<std::string> subsystem(const std::string& directory)
{
    std::optional<std::string> link = readLink(directory + "/subsystem");
    if (link) {
        link->erase(0, link->rfind('/') + 1);
    }
    return link;
}

std::vector<Parent> parents(const std::string& syspath)
{
    std::vector<Parent> found;
    for (std::string& directory : parentDirectories(syspath)) {
        if (std::optional<std::string> name = subsystem(directory)) {
            found.push_back({std::move(directory), std::move(*name)});
        }
    }
    return found;
}

std::optional<std::string> findParent(const std::vector<Parent>& parents, const char* subsystem,
                                      const char* devtype)
{
    for (const Parent& parent : parents) {
        if (parent.subsystem != subsystem) {
            continue;
        }
        // Only a directory with a uevent file is a device; its type is
        // read only when asked for.
        const bool matches = devtype == nullptr
                                 ? access((parent.directory + "/uevent").c_str(), F_OK) == 0
                                 : ueventValue(attribute(parent.directory, "uevent").value_or(""), "DEVTYPE") == devtype;
        if (matches) {
            return parent.directory;
        }
    }
    return std::nullopt;
}

std::string linkTarget(const std::string& directory, const std::string& link)
{
    std::vector<std::string> parts;
    const std::string joined = !link.empty() && link.front() == '/' ? link : directory + "/" + link;
    for (std::size_t begin = 0; begin <= joined.size();) {
        std::size_t end = joined.find('/', begin);
        if (end == std::string::npos) {
            end = joined.size();
        }
        const std::string part = joined.substr(begin, end - begin);
        if (part == "..") {
            if (!parts.empty()) {
                parts.pop_back();
            }
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        begin = end + 1;
    }
    std::string path;
    for (const std::string& part : parts) {
        path += "/" + part;
    }
    return path.empty() ? "/" : path;
}

std::vector<std::string> parentDirectories(const std::string& syspath)
{
    static constexpr std::string_view kDevices = "/sys/devices/";
    std::vector<std::string> parents;
    if (syspath.compare(0, kDevices.size(), kDevices) != 0) {
        return parents;
    }
    std::string path = syspath;
    while (!path.empty() && path.back() == '/') {
        path.pop_back();
    }
    for (std::size_t slash; (slash = path.rfind('/')) != std::string::npos && slash >= kDevices.size();) {
        path.erase(slash);
        while (path.back() == '/') {
            path.pop_back();  // "a//b" names one directory above b
        }
        if (path.size() < kDevices.size()) {
            break;  // /sys/devices itself is no device
        }
        parents.push_back(path);
    }
    return parents;
}

std::string ueventValue(const std::string& uevent, const std::string& key)
{
    const std::string prefix = key + "=";
    for (std::size_t begin = 0; begin < uevent.size();) {
        std::size_t end = uevent.find('\n', begin);
        if (end == std::string::npos) {
            end = uevent.size();
        }
        if (uevent.compare(begin, prefix.size(), prefix) == 0) {
            return uevent.substr(begin + prefix.size(), end - begin - prefix.size());
        }
        begin = end + 1;
    }
    return {};
}

}  // namespace Base::Sysfs
