#include "support/XProxy.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace TestSupport {

namespace {

bool fillAddress(sockaddr_un& address, const std::string& path)
{
    address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path)) {
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

bool writeAll(int socket, const char* data, std::size_t length)
{
    while (length > 0) {
        const ssize_t written = send(socket, data, length, MSG_NOSIGNAL);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        data += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

uint32_t little16(const std::vector<char>& bytes, std::size_t at)
{
    return static_cast<uint8_t>(bytes[at]) | (static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 1])) << 8);
}

uint32_t little32(const std::vector<char>& bytes, std::size_t at)
{
    return little16(bytes, at) | (little16(bytes, at + 2) << 16);
}

std::size_t padded(std::size_t length)
{
    return (length + 3) & ~static_cast<std::size_t>(3);
}

}  // namespace

XProxy::XProxy(const std::string& target, int minorOpcode, int occurrence)
    : _targetSocket("/tmp/.X11-unix/X" + target.substr(1)), _minorOpcode(minorOpcode), _occurrence(occurrence)
{
    // A display number that no server uses, reserved with a lock file as X
    // servers reserve theirs.
    for (int number = 400; number < 1000 && _display.empty(); ++number) {
        const std::string lock = "/tmp/.X" + std::to_string(number) + "-lock";
        const std::string socketPath = "/tmp/.X11-unix/X" + std::to_string(number);
        if (access(socketPath.c_str(), F_OK) == 0) {
            continue;
        }
        const int lockFile = open(lock.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0444);
        if (lockFile < 0) {
            continue;
        }
        const std::string pid = std::to_string(getpid()) + "\n";
        [[maybe_unused]] const ssize_t ignored = write(lockFile, pid.c_str(), pid.size());
        close(lockFile);
        _lockPath = lock;
        _socketPath = socketPath;
        _display = ":" + std::to_string(number);
    }
    if (_display.empty()) {
        throw std::runtime_error("no free display number for the proxy");
    }

    sockaddr_un address{};
    _listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (_listener < 0 || !fillAddress(address, _socketPath) ||
        bind(_listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(_listener, 8) != 0 ||
        pipe2(_stop, O_CLOEXEC) != 0) {
        if (_listener >= 0) {
            close(_listener);
        }
        unlink(_socketPath.c_str());
        unlink(_lockPath.c_str());
        throw std::runtime_error("cannot listen on " + _socketPath);
    }
    _thread = std::thread(&XProxy::serve, this);
}

XProxy::~XProxy()
{
    [[maybe_unused]] const ssize_t ignored = write(_stop[1], "x", 1);
    _thread.join();
    close(_listener);
    close(_stop[0]);
    close(_stop[1]);
    unlink(_socketPath.c_str());
    unlink(_lockPath.c_str());
}

void XProxy::serve()
{
    for (;;) {
        pollfd waits[2] = {{_listener, POLLIN, 0}, {_stop[0], POLLIN, 0}};
        if (poll(waits, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (waits[1].revents != 0) {
            return;
        }
        const int client = accept4(_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0) {
            forward(client);
            close(client);
        }
    }
}

void XProxy::forward(int client)
{
    sockaddr_un address{};
    const int server = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (server < 0) {
        return;
    }
    if (!fillAddress(address, _targetSocket) ||
        connect(server, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        close(server);
        return;
    }

    std::vector<char> pending;  // client bytes not yet forwarded
    bool setUp = false;         // the connection setup has gone through
    int seen = 0;
    // Forwards the complete messages in `pending`; false to cut.
    const auto forwardRequests = [&]() {
        for (;;) {
            std::size_t size = 0;
            if (!setUp) {
                if (pending.size() < 12) {
                    return true;
                }
                size = 12 + padded(little16(pending, 6)) + padded(little16(pending, 8));
            } else {
                if (pending.size() < 4) {
                    return true;
                }
                const uint32_t length = little16(pending, 2);
                if (length == 0) {  // a big request: the length follows
                    if (pending.size() < 8) {
                        return true;
                    }
                    size = static_cast<std::size_t>(little32(pending, 4)) * 4;
                } else {
                    size = static_cast<std::size_t>(length) * 4;
                }
                const int major = static_cast<uint8_t>(pending[0]);
                const int minor = static_cast<uint8_t>(pending[1]);
                if (major >= 128 && minor == _minorOpcode && ++seen == _occurrence) {
                    return false;
                }
            }
            if (size == 0 || pending.size() < size) {
                return size != 0;
            }
            if (!writeAll(server, pending.data(), size)) {
                return false;
            }
            pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(size));
            setUp = true;
        }
    };

    char buffer[65536];
    for (;;) {
        pollfd waits[3] = {{client, POLLIN, 0}, {server, POLLIN, 0}, {_stop[0], POLLIN, 0}};
        if (poll(waits, 3, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (waits[2].revents != 0) {
            break;
        }
        if (waits[0].revents != 0) {
            const ssize_t length = recv(client, buffer, sizeof(buffer), 0);
            if (length <= 0) {
                break;
            }
            pending.insert(pending.end(), buffer, buffer + length);
            if (!forwardRequests()) {
                break;
            }
        }
        if (waits[1].revents != 0) {
            const ssize_t length = recv(server, buffer, sizeof(buffer), 0);
            if (length <= 0 || !writeAll(client, buffer, static_cast<std::size_t>(length))) {
                break;
            }
        }
    }
    close(server);
}

}  // namespace TestSupport
