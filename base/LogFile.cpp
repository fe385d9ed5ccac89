// SPDX-License-Identifier: Apache-2.0
#include "base/LogFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace Base {

namespace {

constexpr off_t kRetryBytes = 1024 * 1024;

// O_NONBLOCK: a FIFO at the path must not block the opening thread until a
// reader comes; it is refused below like anything else that is not a file.
constexpr int kOpenFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

std::string errorText(int error)
{
    return std::strerror(error);
}

// Why the open file must not be used, or the empty text.
std::string refusal(int descriptor, const struct stat& info)
{
    if (!S_ISREG(info.st_mode)) {
        return "not a regular file";
    }
    if (info.st_uid != geteuid()) {
        return "owned by user " + std::to_string(info.st_uid) + ", not " + std::to_string(geteuid());
    }
    if (info.st_nlink != 1) {
        return "the file has " + std::to_string(info.st_nlink) + " names";
    }
    if ((info.st_mode & 07777) != 0600 && fchmod(descriptor, 0600) != 0) {
        return errorText(errno);
    }
    return {};
}

}  // namespace

LogFile::~LogFile()
{
    const int descriptor = _descriptor.exchange(-1);
    if (descriptor >= 0) {
        ::close(descriptor);
    }
}

bool LogFile::writeAll(int descriptor, const char* data, std::size_t length)
{
    while (length > 0) {
        const ssize_t written = ::write(descriptor, data, length);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

std::string LogFile::open(const std::string& path)
{
    const int opened = ::open(path.c_str(), kOpenFlags | O_CREAT, 0600);
    if (opened < 0) {
        return errorText(errno);
    }
    struct stat info {};
    std::string problem = fstat(opened, &info) != 0 ? errorText(errno) : refusal(opened, info);
    if (problem.empty() && ftruncate(opened, 0) != 0) {
        problem = errorText(errno);
    }
    if (problem.empty() && fcntl(opened, F_SETFL, O_WRONLY | O_APPEND) != 0) {
        problem = errorText(errno);
    }
    if (!problem.empty()) {
        ::close(opened);
        return problem;
    }
    const int current = descriptor();
    if (current >= 0) {
        if (dup3(opened, current, O_CLOEXEC) < 0) {
            problem = errorText(errno);
        }
        ::close(opened);
        if (!problem.empty()) {
            return problem;
        }
    } else {
        _descriptor.store(opened, std::memory_order_relaxed);
    }
    _path = path;
    _size = 0;
    _nextRotation = kRotateBytes;
    return {};
}

std::string LogFile::write(const char* data, std::size_t length)
{
    const int current = descriptor();
    if (current < 0 || !writeAll(current, data, length)) {
        return {};
    }
    _size += static_cast<off_t>(length);
    return _size > _nextRotation ? rotate() : std::string();
}

std::string LogFile::rotate()
{
    const int current = descriptor();
    // Only the file this owner writes is renamed; when something else stands
    // at the path now, the new file below cannot be made either.
    struct stat own {};
    struct stat named {};
    if (fstat(current, &own) == 0 && lstat(_path.c_str(), &named) == 0 && own.st_dev == named.st_dev &&
        own.st_ino == named.st_ino) {
        const std::string older = _path + ".1";
        if (rename(_path.c_str(), older.c_str()) != 0) {
            _nextRotation = _size + kRetryBytes;
            return "Failed to rename log file [" + _path + "] to [" + older + "] error [" + errorText(errno) + "]";
        }
    }
    // O_EXCL: a name that appeared at the path meanwhile, a link included,
    // is never written through.
    const int fresh = ::open(_path.c_str(), (kOpenFlags & ~O_NONBLOCK) | O_CREAT | O_EXCL, 0600);
    if (fresh < 0) {
        _nextRotation = _size + kRetryBytes;
        return "Failed to start new log file [" + _path + "] error [" + errorText(errno) + "]";
    }
    std::string problem;
    if (fchmod(fresh, 0600) != 0 || dup3(fresh, current, O_CLOEXEC) < 0) {
        problem = "Failed to start new log file [" + _path + "] error [" + errorText(errno) + "]";
        _nextRotation = _size + kRetryBytes;
    } else {
        _size = 0;
        _nextRotation = kRotateBytes;
    }
    ::close(fresh);
    return problem;
}

}  // namespace Base
