#include "support/KeyboardXServer.h"

#include <X11/XKBlib.h>

#include <memory>
#include <stdexcept>

namespace TestSupport {

namespace {

struct DisplayCloser {
    void operator()(Display* display) const { XCloseDisplay(display); }
};

}  // namespace

KeyboardXServer::KeyboardXServer(const std::string& layouts)
{
    // The layouts are the test's own words: safe on setxkbmap's command line.
    _server.run("/usr/bin/setxkbmap -layout " + layouts);
}

void KeyboardXServer::lockGroup(int group) const
{
    const std::unique_ptr<Display, DisplayCloser> connection(XOpenDisplay(display().c_str()));
    if (!connection) {
        throw std::runtime_error("cannot connect to Xvfb at " + display());
    }
    int opcode = 0;
    int event = 0;
    int error = 0;
    int major = XkbMajorVersion;
    int minor = XkbMinorVersion;
    if (!XkbQueryExtension(connection.get(), &opcode, &event, &error, &major, &minor)) {
        throw std::runtime_error("Xvfb at " + display() + " has no keyboard extension");
    }
    if (!XkbLockGroup(connection.get(), XkbUseCoreKbd, static_cast<unsigned int>(group))) {
        throw std::runtime_error("XkbLockGroup failed");
    }
    // Requests of one connection are handled in order: once the state comes
    // back, the lock is in place.
    XkbStateRec state{};
    if (XkbGetState(connection.get(), XkbUseCoreKbd, &state) != Success || state.group != group) {
        throw std::runtime_error("the keyboard group did not change to " + std::to_string(group));
    }
}

}  // namespace TestSupport
