#include "support/PcscDaemon.h"

#include "support/ChildProcess.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>

namespace TestSupport {

namespace {

// Where Debian's pcscd and vsmartcard-vpcd packages put them.
constexpr const char* kPcscd = "/usr/sbin/pcscd";
constexpr const char* kVirtualReaderDriver = "/usr/lib/pcsc/drivers/serial/libifdvpcd.so";

// The directory that stands for /run in every daemon's namespace: pcscd makes
// its pcscd/ directory, socket and PID file in it. One per process, since
// pcsc-lite's client keeps the socket name it first read.
const TempDir& runDirectory()
{
    static const TempDir directory;
    return directory;
}

std::string socketPath()
{
    return runDirectory().file("pcscd/pcscd.comm");
}

bool bindTcp(int socketFd, uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    return bind(socketFd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
}

// A TCP port that is free together with the next one: the virtual reader
// driver listens on both, one per reader, for a card emulator to connect.
uint16_t freePortPair()
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int first = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int second = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        uint16_t port = 0;
        sockaddr_in bound{};
        socklen_t length = sizeof(bound);
        if (first >= 0 && second >= 0 && bindTcp(first, 0) &&
            getsockname(first, reinterpret_cast<sockaddr*>(&bound), &length) == 0 && ntohs(bound.sin_port) < 65535 &&
            bindTcp(second, static_cast<uint16_t>(ntohs(bound.sin_port) + 1))) {
            port = ntohs(bound.sin_port);
        }
        if (first >= 0) {
            close(first);
        }
        if (second >= 0) {
            close(second);
        }
        if (port != 0) {
            return port;
        }
    }
    throw std::runtime_error("no two adjacent free TCP ports for the virtual readers");
}

// Whether something listens on the Unix socket at `path`.
bool accepts(const std::string& path)
{
    const int client = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (client < 0) {
        return false;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    const bool connected = connect(client, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    close(client);
    return connected;
}

}  // namespace

std::string PcscDaemon::nameSocketForThisProcess()
{
    const std::string socket = socketPath();
    setenv("PCSCLITE_CSOCK_NAME", socket.c_str(), 1);
    return socket;
}

PcscDaemon::PcscDaemon(Readers readers)
{
    // pcscd refuses to start over the socket of a daemon that did not end.
    unlink(socketPath().c_str());
    unlink(runDirectory().file("pcscd/pcscd.pid").c_str());

    const std::string configuration = _files.file("reader.conf.d");
    if (mkdir(configuration.c_str(), 0755) != 0) {
        throw std::runtime_error("cannot make pcscd's configuration directory");
    }
    if (readers == Readers::TwoVirtual) {
        if (access(kVirtualReaderDriver, R_OK) != 0) {
            throw std::runtime_error(std::string(kVirtualReaderDriver) + " missing; it comes with vsmartcard-vpcd");
        }
        const std::string port = std::to_string(freePortPair());
        _files.write("reader.conf.d/vpcd", "FRIENDLYNAME \"Virtual PCD\"\n"
                                           "DEVICENAME /dev/null:" + port + "\n"
                                           "LIBPATH " + kVirtualReaderDriver + "\n"
                                           "CHANNELID " + port + "\n");
    }

    const std::string run = runDirectory().path();
    const int outputFile = open(_files.file("pcscd.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (outputFile < 0) {
        throw std::runtime_error("cannot open pcscd's output file");
    }
    // A mount namespace of its own, where this process's directory is /run.
    const auto ownRun = [&run] {
        return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
               mount(run.c_str(), "/run", nullptr, MS_BIND, nullptr) == 0;
    };
    _pid = startChild({kPcscd, "--foreground", "--config", configuration},
                      {{STDOUT_FILENO, outputFile}, {STDERR_FILENO, outputFile}}, ownRun);
    close(outputFile);
    if (_pid < 0) {
        throw std::runtime_error("fork failed for pcscd");
    }

    // pcscd loads the configured readers before it opens its socket: once it
    // accepts a client, the readers are there. The bound only keeps a daemon
    // that hangs from hanging the test.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!accepts(socketPath())) {
        int status = 0;
        if (waitpid(_pid, &status, WNOHANG) == _pid) {
            _pid = -1;
            throw std::runtime_error("pcscd ended before accepting clients (wait status " + std::to_string(status) +
                                     "):\n" + output());
        }
        if (std::chrono::steady_clock::now() > giveUp) {
            stopChild(_pid);
            _pid = -1;
            throw std::runtime_error("pcscd did not accept clients:\n" + output());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

PcscDaemon::~PcscDaemon()
{
    stopChild(_pid);
}

std::string PcscDaemon::output() const
{
    return readWhole(_files.file("pcscd.out"));
}

int openSocketCount()
{
    int count = 0;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
        std::error_code ignored;
        if (std::filesystem::read_symlink(entry.path(), ignored).string().rfind("socket:", 0) == 0) {
            ++count;
        }
    }
    return count;
}

}  // namespace TestSupport
