// Base::XConnection against a real Xvfb: failed requests and a server that
// goes away leave the process running, and the process's own Xlib handlers
// are left as they were.
// GoogleTest first: Xlib's headers define macros (None, Bool) that its own
// names would clash with.
#include <gtest/gtest.h>

#include "base/XConnection.h"

#include "base/XRandr.h"
#include "support/LogWatch.h"
#include "support/TempDir.h"
#include "support/XServer.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>
#include <signal.h>

#include <atomic>

using TestSupport::LogWatch;
using TestSupport::ScopedEnv;
using TestSupport::XServer;

namespace {

// The process's current I/O error handler, left in place.
XIOErrorHandler currentIoErrorHandler()
{
    const XIOErrorHandler current = XSetIOErrorHandler(nullptr);
    XSetIOErrorHandler(current);
    return current;
}

bool sigpipeBlocked()
{
    sigset_t mask;
    sigemptyset(&mask);
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    return sigismember(&mask, SIGPIPE) == 1;
}

// Stands for the hosting process's own handlers: they record and return.
std::atomic<int> gHostIoErrors{0};
int hostIoErrorHandler(Display*)
{
    ++gHostIoErrors;
    return 0;
}
void hostKeepsRunning(Display*, void*) {}

// Readies the extension on the connection while the server is there, as the
// provider does: libXrandr keeps (and never frees) its bookkeeping for a
// display whose extension query failed.
void queryRandr(Display* display)
{
    int eventBase = 0;
    int errorBase = 0;
    ASSERT_TRUE(XRRQueryExtension(display, &eventBase, &errorBase));
}

class XConnectionTest : public ::testing::Test {
protected:
    XServer _server{XServer::Kind::VirtualFramebuffer};
    ScopedEnv _display{"DISPLAY", _server.display()};
};

}  // namespace

TEST_F(XConnectionTest, AFailedRequestIsLoggedAndTheConnectionGoesOn)
{
    LogWatch log;
    const Base::XConnection connection;
    ASSERT_TRUE(connection);
    Display* display = connection.get();
    const Base::XRRScreenResourcesHandle resources(XRRGetScreenResourcesCurrent(display, DefaultRootWindow(display)));
    ASSERT_TRUE(resources);

    // No such CRTC or output: the server answers with an error.
    EXPECT_EQ(XRRGetCrtcInfo(display, resources.get(), 0x7fff), nullptr);
    EXPECT_EQ(XRRGetOutputInfo(display, resources.get(), 0x7ffe), nullptr);
    EXPECT_EQ(log.count(" : WARNING - X request ["), 2U) << log.text();

    const Base::XRROutputInfoHandle output(XRRGetOutputInfo(display, resources.get(), resources->outputs[0]));
    ASSERT_TRUE(output);
    EXPECT_EQ(std::string(output->name), "screen");
    EXPECT_FALSE(connection.lost());
}

TEST_F(XConnectionTest, ALostServerEndsTheRequestsNotTheProcess)
{
    const XIOErrorHandler before = currentIoErrorHandler();
    LogWatch log;
    {
        const Base::XConnection connection;
        ASSERT_TRUE(connection);
        EXPECT_NE(currentIoErrorHandler(), before);
        queryRandr(connection.get());
        _server.kill();
        Display* display = connection.get();
        EXPECT_EQ(XRRGetScreenResourcesCurrent(display, DefaultRootWindow(display)), nullptr);
        EXPECT_EQ(XRRGetScreenResourcesCurrent(display, DefaultRootWindow(display)), nullptr);
        EXPECT_TRUE(connection.lost());
    }
    EXPECT_EQ(log.count("ERROR - Lost the connection to X display [" + _server.display() + "]\n"), 1U) << log.text();
    EXPECT_EQ(currentIoErrorHandler(), before);
}

TEST_F(XConnectionTest, SigpipeIsBlockedOnTheThreadWhileTheConnectionIsOpen)
{
    // A write to a server that has just gone away fails instead of raising
    // SIGPIPE (whose default action ends the process).
    ASSERT_FALSE(sigpipeBlocked());
    {
        const Base::XConnection connection;
        ASSERT_TRUE(connection);
        EXPECT_TRUE(sigpipeBlocked());
    }
    EXPECT_FALSE(sigpipeBlocked());
}

TEST_F(XConnectionTest, TheProcessKeepsItsOwnHandlersForItsOwnDisplays)
{
    const XIOErrorHandler before = XSetIOErrorHandler(hostIoErrorHandler);
    Display* hostDisplay = XOpenDisplay(nullptr);
    ASSERT_NE(hostDisplay, nullptr);
    XSetIOErrorExitHandler(hostDisplay, hostKeepsRunning, nullptr);
    gHostIoErrors = 0;
    LogWatch log;
    {
        const Base::XConnection connection;
        ASSERT_TRUE(connection);
        queryRandr(connection.get());
        _server.kill();
        XSync(hostDisplay, False);
        EXPECT_EQ(gHostIoErrors, 1);
        EXPECT_FALSE(log.contains("Lost the connection")) << log.text();

        Display* display = connection.get();
        EXPECT_EQ(XRRGetScreenResourcesCurrent(display, DefaultRootWindow(display)), nullptr);
        EXPECT_TRUE(connection.lost());
        EXPECT_EQ(gHostIoErrors, 1);
    }
    EXPECT_EQ(currentIoErrorHandler(), hostIoErrorHandler);
    XCloseDisplay(hostDisplay);
    XSetIOErrorHandler(before);
}

TEST_F(XConnectionTest, AHandlerInstalledMeanwhileStays)
{
    const XIOErrorHandler before = currentIoErrorHandler();
    {
        const Base::XConnection connection;
        ASSERT_TRUE(connection);
        XSetIOErrorHandler(hostIoErrorHandler);
    }
    EXPECT_EQ(currentIoErrorHandler(), hostIoErrorHandler);
    XSetIOErrorHandler(before);
}

TEST(XConnection, WithoutAServerThereIsNoConnection)
{
    const XIOErrorHandler before = currentIoErrorHandler();
    const ScopedEnv display("DISPLAY", std::nullopt);
    const Base::XConnection connection;
    EXPECT_FALSE(connection);
    EXPECT_EQ(connection.get(), nullptr);
    EXPECT_FALSE(connection.lost());
    EXPECT_EQ(currentIoErrorHandler(), before);
}
