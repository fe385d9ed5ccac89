// The machine's processes as read from /proc, and set operations on sorted
// lists of process ids. The functions that fill a list append to it.
#pragma once

#include <string>
#include <vector>

class Processes {
public:
    // Appends the id of every process listed in /proc, in directory order.
    // False when /proc cannot be opened.
    static bool enumerate(std::vector<int>& ids);

    // The process's name as the kernel keeps it (at most 15 characters, from
    // the file name of its executable or as the process set it), up to its
    // first blank. False when the process does not exist or its status cannot
    // be read.
    static bool name(int pid, std::string& name);

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
