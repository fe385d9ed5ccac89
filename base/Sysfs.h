// SPDX-License-Identifier: Apache-2.0
// sysfs read directly, where udev's own lookups would make a device of every
// directory they pass, resolving each path component by component: the
// devices of a class, the directories above a device, attributes and uevent
// values. The text rules take strings and return values; the rest reads the
// system and logs nothing.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace Base::Sysfs {

// The sysfs paths that the entries of /sys/class/<name> link to (an entry
// that is a directory itself as it stands), in the directory's order (none
// when the class has no directory); nothing when it cannot be listed (errno
// kept).
std::optional<std::vector<std::string>> classDevices(const std::string& name);

// An attribute file of a device's directory without its trailing newlines;
// nothing when it cannot be read.
std::optional<std::string> attribute(const std::string& directory, const char* name);

// The last component of where a device directory's "subsystem" link leads;
// nothing when it has none.
std::optional<std::string> subsystem(const std::string& directory);

// A directory above a device with a subsystem link: a parent device, as udev
// tells them (a directory with a uevent file).
struct Parent {
    std::string directory;
    std::string subsystem;
};
// The directories above a device's sysfs path that have a subsystem, nearest
// first.
std::vector<Parent> parents(const std::string& syspath);
// The directory of the nearest device of `subsystem` (and `devtype`, unless
// null) among `parents`; nothing when there is none.
std::optional<std::string> findParent(const std::vector<Parent>& parents, const char* subsystem,
                                      const char* devtype);

// Where a symbolic link of `directory` whose target is `link` leads, with
// "." and ".." taken away; an absolute target as it stands.
std::string linkTarget(const std::string& directory, const std::string& link);

// The directories above a device's sysfs path, nearest first, down to the
// first one below /sys/devices: where its parent devices may be.
std::vector<std::string> parentDirectories(const std::string& syspath);

// The value of `key` among a uevent file's KEY=value lines; empty when it
// has none.
std::string ueventValue(const std::string& uevent, const std::string& key);

}  // namespace Base::Sysfs
