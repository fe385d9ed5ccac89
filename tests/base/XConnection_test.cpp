// SPDX-License-Identifier: Apache-2.0
// Base::XConnection against a real Xvfb: failed requests and a server that
// goes away leave the process running, with its own Xlib handlers in place.
// GoogleTest first: Xlib's macros (None, Bool) clash with its names.
#include <gtest/gtest.h>

#include "base/XConnection.h"
#include "base/XRandr.h"
#include "support/LogWatch.h"
#include "support/XServer.h"
#include <X11/extensions/Xrandr.h>

using TestSupport::ScopedEnv;

// ThreadSanitizer suppressions, exported for its runtime by the build: after an
// I/O error handler returns, libX11 unlocks the display once more than it locked it.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_suppressions()
{
    return "mutex:libX11.so\nmutex:libXrandr.so\n";
}

namespace {
XIOErrorHandler currentIoErrorHandler()
{
    const XIOErrorHandler current = XSetIOErrorHandler(nullptr);
    return XSetIOErrorHandler(current), current;
}

bool sigpipeBlocked()
{
    sigset_t mask;
    return pthread_sigmask(SIG_BLOCK, nullptr, &mask) == 0 && sigismember(&mask, SIGPIPE) == 1;
}

int gHostIoErrors = 0;  // the hosting process's own handler counts and returns
const XIOErrorHandler hostIoErrorHandler = [](Display*) { return ++gHostIoErrors, 0; };
}  // namespace

TEST(XConnection, FailedRequestsAndALostServerLeaveTheProcessAndItsHandlers)
{
    const XIOErrorHandler before = currentIoErrorHandler();
    const ScopedEnv none("DISPLAY", std::nullopt);
    EXPECT_FALSE(Base::XConnection());
    TestSupport::XServer server;
    const ScopedEnv display("DISPLAY", server.display());
    {
        const Base::XConnection connection;
        XSetIOErrorHandler(hostIoErrorHandler);  // installed meanwhile: it stays
    }
    EXPECT_EQ(currentIoErrorHandler(), hostIoErrorHandler);
    Display* host = XOpenDisplay(nullptr);  // the process's own connection
    ASSERT_NE(host, nullptr);
    XSetIOErrorExitHandler(host, [](Display*, void*) {}, nullptr);
    const TestSupport::LogWatch log;
    {
        const Base::XConnection connection;
        ASSERT_TRUE(connection);
        EXPECT_TRUE(sigpipeBlocked());
        Display* x = connection.get();
        const Base::XRRScreenResourcesHandle resources(XRRGetScreenResourcesCurrent(x, DefaultRootWindow(x)));
        ASSERT_TRUE(resources);
        EXPECT_EQ(XRRGetCrtcInfo(x, resources.get(), 0x7fff), nullptr);  // no such CRTC: an error
        EXPECT_EQ(log.count(" : WARNING - X request ["), 1U) << log.text();
        EXPECT_FALSE(connection.lost());
        server.stop();
        XSync(host, False);
        EXPECT_EQ(gHostIoErrors, 1);  // the host's display goes to the host's handler
        EXPECT_EQ(XRRGetScreenResourcesCurrent(x, DefaultRootWindow(x)), nullptr);
        EXPECT_TRUE(connection.lost());
        EXPECT_EQ(gHostIoErrors, 1);
    }
    EXPECT_EQ(log.count("ERROR - Lost the connection to X display [" + server.display() + "]\n"), 1U) << log.text();
    EXPECT_EQ(currentIoErrorHandler(), hostIoErrorHandler);
    EXPECT_FALSE(sigpipeBlocked());
    XCloseDisplay(host);
    XSetIOErrorHandler(before);
}
