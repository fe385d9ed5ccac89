// SPDX-License-Identifier: Apache-2.0
// The user provider against the account and group databases glibc reads from /etc/passwd and /etc/group, bind-mounted
// in the test process's own mount namespace, and the login records in /var/run (a tmpfs there). The test runs as root:
// the account read is the one of user id 0.
#include "providers/user/UserProvider.h"

#include "support/Categories.h"
#include "support/IgelFakes.h"
#include "support/LoginSessions.h"
#include "support/MainLoop.h"
#include "support/MountNamespace.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <optional>

using U = UserProvider;
using TestSupport::LoginSession;

namespace {

std::string account(const std::string& name, const char* group = "1000")
{
    return name + ":x:0:" + group + "::/:/bin/sh\n";
}

PropertyMap read(int32_t status = 2, int32_t filter = 0)
{
    return TestSupport::readProvider<UserProvider>("User", status, filter);
}

class UserProviderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(geteuid(), 0U) << "these cases describe user id 0";
        mount(dir.write("nsswitch.conf", "passwd: files\ngroup: files\n"), "/etc/nsswitch.conf");  // no other source
    }
    // The databases, and the login records of these sessions, or none.
    void given(const std::string& passwd, const std::string& group,
               const std::optional<std::vector<LoginSession>>& sessions)
    {
        mount(dir.write("passwd", passwd), "/etc/passwd");
        mount(dir.write("group", group), "/etc/group");
        if (sessions) {
            run.write("utmp", TestSupport::loginRecords(*sessions));
        } else {
            std::filesystem::remove("/run/utmp");
        }
    }
    void mount(const std::string& source, const std::string& target)
    {
        mounts.push_back(std::make_unique<TestSupport::ScopedMount>(source, target));
    }
    const TestSupport::FakeIgelGet igel;  // the user list is read on IGEL OS
    const TestSupport::TempDir dir;
    const TestSupport::ScopedTmpfs run{"/run"};
    std::vector<std::unique_ptr<TestSupport::ScopedMount>> mounts;  // after dir: unmounted before it goes
};

}  // namespace

TEST_F(UserProviderTest, IdentityAndAdministratorFromTheDatabasesAndTheUserList)
{
    const std::string jdoe = account("jdoe"), groups = "root:x:0:\njdoe:x:1000:\n";
    const std::vector<std::string> plain{"jdoe", "", "", "false", "false"}, admin{"jdoe", "", "", "false", "true"};
    constexpr pid_t gone = 999999;
    const struct {
        std::string passwd, group;
        std::optional<std::vector<LoginSession>> sessions;
        std::vector<std::string> values;  // name, domain, DNS domain, domain logon, local administrator
    } cases[] = {
        // The logged-in users: user@domain for a domain logon, one per session, the first in byte order counts.
        {jdoe, groups, {{{"jdoe@L1.L2.L3"}}}, {"jdoe", "L1", "L1.L2.L3", "true", "false"}},
        {jdoe, groups, {{{"user"}, {"user"}}}, {"user", "", "", "false", "false"}},
        {jdoe, groups, {{{"j@x.y"}, {"j@corp.example.com"}}}, {"j", "corp", "corp.example.com", "true", "false"}},
        {jdoe, groups, {{{"j@corp.example@other"}}}, {"j", "corp", "corp.example", "true", "false"}},
        // Nobody logged on (a session's process that is gone ended it). Group id 27 makes an administrator whatever
        // its name, as a member or the primary group.
        {jdoe, groups + "operators:x:27:jdoe\n", {{{"ghost@corp", gone}}}, {"", "", "", "false", "true"}},
        {account("jdoe", "27"), "staff:x:27:\n", {{{"jdoe"}}}, admin},
        // Without login records, the account name: DOMAIN\user, or short.DNS.domain\user.
        {jdoe, groups, std::nullopt, plain},
        {account("CORP\\jdoe"), "sudo:x:27:CORP\\jdoe\n", std::nullopt, {"jdoe", "CORP", "", "true", "true"}},
        {account("corp.example.com\\jdoe"), "sudo:x:27:jdoe\n", std::nullopt,
         {"jdoe", "corp", "example.com", "true", "false"}},
        {account("CORP\\j\\doe"), "", std::nullopt, {"j\\doe", "CORP", "", "true", "false"}},
        {account("jdoe@corp"), "", std::nullopt, {"jdoe@corp", "", "", "false", "false"}},
        // Groups named exactly "admin" or "system" make an administrator; a group id without an entry is skipped.
        {jdoe, groups + "wheel:x:10:jdoe\n", {{{"jdoe"}}}, plain},
        {jdoe, groups + "admin:x:110:jdoe\n", {{{"jdoe"}}}, admin},
        {jdoe, groups + "system:x:111:other,jdoe\n", {{{"jdoe"}}}, admin},
        {jdoe, groups + "Admin:x:110:jdoe\nsystems:x:111:jdoe\nadmin:x:112:other\n", {{{"jdoe"}}}, plain},
        {jdoe, "wheel:x:10:jdoe\n", {{{"jdoe"}}}, plain},
    };
    for (const auto& row : cases) {
        given(row.passwd, row.group, row.sessions);
        PropertyMap expected;
        for (std::size_t key = 0; key < std::size(U::kKeys); ++key) expected[U::kKeys[key].key] = row.values[key];
        EXPECT_EQ(read(), expected) << row.passwd << row.group << (row.sessions ? "" : "(no login records)");
    }
}

TEST_F(UserProviderTest, SelectedKeysOnly)
{
    // Without an account of the user every selected key is unavailable.
    given("someone:x:1000:1000::/:/bin/sh\n", "", {{{"jdoe@corp.example"}}});
    EXPECT_EQ(read(1, 0x80 | 0x02),
              (PropertyMap{{U::kDomain.key, "Unavailable"}, {U::kDomainLogon.key, "Unavailable"}}));
    given(account("jdoe"), "", {{{"jdoe@corp.example"}}});
    EXPECT_TRUE(read(0, 0xFF).empty());
    EXPECT_TRUE(read(1, 0x08 | 0x10 | 0x20).empty());
    EXPECT_EQ(read(1, 0x40), (PropertyMap{{U::kLocalAdmin.key, "false"}}));
    EXPECT_EQ(read(1, 0x80 | 0x04), (PropertyMap{{U::kDomainDns.key, "corp.example"}, {U::kDomainLogon.key, "true"}}));
}

// A session starting or ending rewrites the login records (in /var/run, a tmpfs here): the provider announces it,
// and the reading after it shows the new user.
TEST_F(UserProviderTest, ASessionStartingOrEndingIsAnnounced)
{
    given(account("jdoe"), "", {{{"jdoe"}}});
    std::atomic<int> changes{0};
    UserProvider provider(TestSupport::category("User"), "20.1");
    provider.monitorForChanges([&changes](std::shared_ptr<Category const> changed) {
        changes += changed->name == "User" ? 1 : 0;
    });
    provider.awaitMonitoring();
    for (const std::string user : {"asmith@corp.example", ""}) {
        const int before = changes;
        run.write("utmp", TestSupport::loginRecords({{user}}));
        EXPECT_TRUE(TestSupport::waitUntil([&] { return changes > before; })) << user;
        EXPECT_EQ(read(1, 0x01).at(U::kName.key), user.empty() ? "" : "asmith") << user;
    }
    provider.close();
}
