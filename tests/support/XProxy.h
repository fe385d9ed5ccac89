// A display of its own in front of a real X server, forwarding every client's
// requests and the server's answers, that can break the connection in the
// middle of a client's work: instead of forwarding the n-th request of a
// given extension minor opcode, it closes both sides, as a server that goes
// away would.
//
// Requests are told apart by their headers only: any extension request (major
// opcode 128 or above) with the minor opcode counts.
#pragma once

#include <string>
#include <thread>

namespace TestSupport {

class XProxy {
public:
    // Forwards to the server of `target` (":N"). Cuts at the `occurrence`-th
    // (from 1) extension request with minor opcode `minorOpcode`, counted per
    // client connection.
    XProxy(const std::string& target, int minorOpcode, int occurrence);
    ~XProxy();

    XProxy(const XProxy&) = delete;
    XProxy& operator=(const XProxy&) = delete;

    // The display name for DISPLAY, ":N".
    const std::string& display() const { return _display; }

private:
    void serve();
    void forward(int client);

    std::string _targetSocket;
    int _minorOpcode;
    int _occurrence;
    std::string _display;
    std::string _socketPath;
    std::string _lockPath;
    int _listener = -1;
    int _stop[2] = {-1, -1};
    std::thread _thread;
};

}  // namespace TestSupport
