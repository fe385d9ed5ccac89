// SPDX-License-Identifier: Apache-2.0
// The log file on disk. It is opened without following a symbolic link at
// its path, private to the effective user (mode 0600) and closed on exec, so
// no child of the process inherits it. Lines are appended whole. Past
// kRotateBytes the file is renamed to PATH.1 (replacing an older one) and a
// new file is started, so the log takes at most about twice that bound.
//
// The descriptor number stays the same for the owner's life: a new file is
// moved onto it with dup3, so a fault handler that writes to descriptor()
// never writes into a descriptor that meanwhile belongs to something else.
//
// Not thread-safe: the caller serialises open and write.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <string>

namespace Base {

class LogFile {
public:
    LogFile() = default;
    ~LogFile();

    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    static constexpr off_t kRotateBytes = 10 * 1024 * 1024;

    // Opens `path` and empties it. A symbolic link, anything but a regular
    // file, a file of another user or one with more than one name is
    // refused and left as it is. Gives the empty text on success, else why
    // the file was not opened.
    std::string open(const std::string& path);

    bool isOpen() const { return descriptor() >= 0; }
    const std::string& path() const { return _path; }

    // The open descriptor, or -1. Safe to read in a signal handler.
    int descriptor() const { return _descriptor.load(std::memory_order_relaxed); }

    // Appends `length` bytes (one or more whole lines), then starts a new
    // file when the bound is passed. Gives the empty text, or what went wrong
    // when the new file could not be started (writing then continues in the
    // current file and the next attempt comes a megabyte later).
    std::string write(const char* data, std::size_t length);

    // Writes all `length` bytes to `descriptor`, retrying after interruptions
    // and partial writes; false when the system refuses. Async-signal-safe.
    static bool writeAll(int descriptor, const char* data, std::size_t length);

private:
    std::string rotate();

    std::atomic<int> _descriptor{-1};
    std::string _path;
    off_t _size = 0;
    off_t _nextRotation = kRotateBytes;
};

}  // namespace Base
