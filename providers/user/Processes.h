// SPDX-License-Identifier: Apache-2.0
// The machine's processes as read from /proc, and set operations on sorted
// lists of process ids. The set operations append to the list they fill.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

class Processes {
public:
    // The id of every process listed in /proc, in directory order; none,
    // with an ERROR line, when /proc cannot be opened.
    static std::optional<std::vector<int>> enumerate();

    // The process's name as the kernel keeps it (at most 15 characters, from
    // the file name of its executable or as the process set it), up to its
    // first blank. None when the process does not exist or its status cannot
    // be read.
    static std::optional<std::string> name(int pid);

    // The id the kernel gave to the process or thread it created last in
    // this process's pid namespace, from /proc/loadavg. Any start of a
    // process in that namespace changes it. None when it cannot be read.
    // `loadavg`: /proc/loadavg, kept open by the caller.
    static std::optional<int> lastCreated(int loadavg);
    // The same, from the text of /proc/loadavg ("0.05 0.10 0.15 1/234 5678").
    static std::optional<int> lastCreatedFrom(std::string_view loadavg);
    // Whether /proc lists this process's own pid namespace, the one whose
    // last started process lastCreated tells.
    static bool listsOwnNamespace();

    // Whether /proc lists the process, ended and not yet reaped included.
    static bool exists(int pid);

    // Sorts ascending.
    static void sort(std::vector<int>& ids);

    // The ids of `current` that are not in `previous`; both sorted.
    static void createdFromSorted(const std::vector<int>& previous, const std::vector<int>& current,
                                  std::vector<int>& created);

    // The ids of `previous` that are not in `current`; both sorted.
    static void destroyedFromSorted(const std::vector<int>& previous, const std::vector<int>& current,
                                    std::vector<int>& destroyed);

    // Removes `pid` from the sorted list; false when it is not there.
    static bool eraseFromSorted(int pid, std::vector<int>& sorted);
};
