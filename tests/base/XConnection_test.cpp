// SPDX-License-Identifier: Apache-2.0
// Base::XConnection against a real Xvfb: a failed request is logged and gives
// no reply, a reply is measured against its own length, and a server that
// goes away, even while the connection is being made, leaves the process
// running.
#include <gtest/gtest.h>

#include "base/XConnection.h"
#include "support/LogWatch.h"
#include "support/XServer.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <xcb/randr.h>

#include <cstdio>
#include <thread>

using TestSupport::ScopedEnv;

namespace {
bool sigpipeBlocked()
{
    sigset_t mask;
    return pthread_sigmask(SIG_BLOCK, nullptr, &mask) == 0 && sigismember(&mask, SIGPIPE) == 1;
}
}  // namespace

TEST(XConnection, FailedRequestsAndALostServerLeaveTheProcessRunning)
{
    {
        const ScopedEnv none("DISPLAY", std::nullopt);
        EXPECT_FALSE(Base::XConnection());
    }
    TestSupport::XServer server;
    const ScopedEnv display("DISPLAY", server.display());
    const TestSupport::LogWatch log;
    {
        const Base::XConnection connection;
        ASSERT_TRUE(connection);
        EXPECT_TRUE(sigpipeBlocked());
        ASSERT_NE(connection.screen(connection.defaultScreen()), nullptr);
        EXPECT_EQ(connection.screen(1), nullptr);
        xcb_connection_t* x = connection.get();
        int code = 0;
        const auto crtc = connection.reply(  // no such CRTC: an error
            xcb_randr_get_crtc_info_reply(x, xcb_randr_get_crtc_info(x, 0x7fff, XCB_CURRENT_TIME), connection.error()),
            &code);
        EXPECT_FALSE(crtc);
        EXPECT_NE(code, Base::XConnection::kNoAnswer);
        EXPECT_EQ(log.count(" : WARNING - X request ["), 1U) << log.text();
        EXPECT_FALSE(connection.lost());

        const auto focus = connection.reply(xcb_get_input_focus_reply(x, xcb_get_input_focus(x), connection.error()));
        ASSERT_TRUE(focus);
        EXPECT_TRUE(Base::XConnection::fits(focus.get(), focus.get(), 32));
        EXPECT_FALSE(Base::XConnection::fits(focus.get(), focus.get(), 33 + focus->length * 4));
        EXPECT_FALSE(Base::XConnection::fits(focus.get(), reinterpret_cast<const char*>(focus.get()) + 40, 1));

        server.stop();
        EXPECT_FALSE(connection.reply(xcb_get_input_focus_reply(x, xcb_get_input_focus(x), connection.error()), &code));
        EXPECT_EQ(code, Base::XConnection::kNoAnswer);
        EXPECT_TRUE(connection.lost());
    }
    EXPECT_EQ(log.count("ERROR - Lost the connection to X display [" + server.display() + "]\n"), 1U) << log.text();
    EXPECT_FALSE(sigpipeBlocked());
}

namespace {
int listenAt(const std::string& path)
{
    mkdir("/tmp/.X11-unix", 01777);
    const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", path.c_str());
    unlink(path.c_str());
    if (listener < 0 || bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(listener, 4) != 0) {
        return -1;
    }
    return listener;
}

int connectTo(const std::string& path)
{
    const int descriptor = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", path.c_str());
    if (descriptor >= 0 && connect(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        close(descriptor);
        return -1;
    }
    return descriptor;
}

bool readAll(int descriptor, char* data, std::size_t size)
{
    for (std::size_t done = 0; done < size;) {
        const ssize_t got = read(descriptor, data + done, size - done);
        if (got <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(got);
    }
    return true;
}
}  // namespace

// Between the library and a real X server, a server end that passes the
// connection's setup on and then hangs up, before the first request is
// answered (as a server does that is shutting down just then): the
// connection is made, then lost, and the process goes on. A reading opens
// such a connection whenever a server ends while it starts.
TEST(XConnection, AServerThatHangsUpRightAfterTheSetupLeavesTheProcessRunning)
{
    TestSupport::XServer server;
    const std::string real = "/tmp/.X11-unix/X" + server.display().substr(1);
    const std::string path = "/tmp/.X11-unix/X4242";
    const int listener = listenAt(path);
    ASSERT_GE(listener, 0);
    std::thread hangUp([&] {
        for (int i = 0; i < 2; ++i) {
            const int client = accept(listener, nullptr, nullptr);
            const int upstream = connectTo(real);
            char request[4096];
            const ssize_t asked = client >= 0 ? read(client, request, sizeof(request)) : -1;
            char header[8];
            if (asked > 0 && upstream >= 0 && write(upstream, request, static_cast<std::size_t>(asked)) == asked &&
                readAll(upstream, header, sizeof(header))) {
                std::string setup(header, sizeof(header));
                setup.resize(sizeof(header) + 4 * (static_cast<unsigned char>(header[6]) |
                                                   static_cast<unsigned char>(header[7]) << 8));
                if (readAll(upstream, setup.data() + sizeof(header), setup.size() - sizeof(header))) {
                    (void)!write(client, setup.data(), setup.size());
                }
            }
            close(upstream);
            close(client);
        }
    });
    const ScopedEnv display("DISPLAY", ":4242");
    const TestSupport::LogWatch log;
    for (int i = 0; i < 2; ++i) {
        const Base::XConnection connection;
        ASSERT_TRUE(connection);
        xcb_connection_t* x = connection.get();
        EXPECT_FALSE(connection.reply(xcb_get_input_focus_reply(x, xcb_get_input_focus(x), connection.error())));
        EXPECT_TRUE(connection.lost());
    }
    EXPECT_EQ(log.count("ERROR - Lost the connection to X display [:4242]\n"), 2U) << log.text();
    hangUp.join();
    close(listener);
    unlink(path.c_str());
}
