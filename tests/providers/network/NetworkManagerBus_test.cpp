// SPDX-License-Identifier: Apache-2.0
// Whether NetworkManager is on the system bus, asked of a real bus daemon: the private system bus of the test
// process, with python-dbusmock's NetworkManager coming and going, and an address where no bus listens.
#include "providers/network/NetworkManagerBus.h"

#include "support/NetworkManagerService.h"
#include "support/SystemBus.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <optional>

using namespace TestSupport;
using Presence = NetworkManagerBus::Presence;

TEST(NetworkManagerBus, RunningWhileItsNameHasAnOwnerOtherwiseWhyNot)
{
    SystemBus::instance();
    std::string why;
    std::optional<NetworkManagerService> manager;
    manager.emplace();
    EXPECT_EQ(NetworkManagerBus::ask(why), Presence::Running);
    manager.reset();
    EXPECT_EQ(NetworkManagerBus::ask(why), Presence::NoOwner);
    EXPECT_EQ(why, "org.freedesktop.NetworkManager has no owner on the system bus");
    const TempDir nowhere;
    const ScopedEnv noBus{"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + nowhere.file("no-bus")};
    EXPECT_EQ(NetworkManagerBus::ask(why), Presence::NoSystemBus);
    EXPECT_EQ(why, "no system bus: No such file or directory");
}
