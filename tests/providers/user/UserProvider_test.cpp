// SPDX-License-Identifier: Apache-2.0
// The user provider against the account and group databases glibc reads from /etc/passwd and /etc/group, and the
// logged-in user list at /usr/bin/users, all bind-mounted in the test process's own mount namespace. The test runs as
// root: the account read is the one of user id 0.
#include "providers/user/UserProvider.h"

#include "support/Categories.h"
#include "support/IgelFakes.h"
#include "support/MainLoop.h"
#include "support/MountNamespace.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <optional>

using U = UserProvider;

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
    // The databases; a user list that prints `users` and exits with `status`, each run logged, or one that cannot run.
    void given(const std::string& passwd, const std::string& group, const std::optional<std::string>& users,
               int status = 0)
    {
        mount(dir.write("passwd", passwd), "/etc/passwd");
        mount(dir.write("group", group), "/etc/group");
        dir.write("users-output", users.value_or(""));
        mount(users ? dir.script("users", "echo \"run LC_ALL=$LC_ALL\" >> '" + dir.file("runs") + "'\ncat '" +
                                              dir.file("users-output") + "'\nexit " + std::to_string(status))
                    : dir.write("users", "not a program\n"),
              U::kUserListProgram);
    }
    void mount(const std::string& source, const std::string& target)
    {
        mounts.push_back(std::make_unique<TestSupport::ScopedMount>(source, target));
    }
    const TestSupport::FakeIgelGet igel;  // the user list is read on IGEL OS
    const TestSupport::TempDir dir;
    std::vector<std::unique_ptr<TestSupport::ScopedMount>> mounts;  // after dir: unmounted before it goes
};

}  // namespace

TEST_F(UserProviderTest, IdentityAndAdministratorFromTheDatabasesAndTheUserList)
{
    const std::string jdoe = account("jdoe"), groups = "root:x:0:\njdoe:x:1000:\n";
    const std::vector<std::string> plain{"jdoe", "", "", "false", "false"}, admin{"jdoe", "", "", "false", "true"};
    const struct {
        std::string passwd, group;
        std::optional<std::string> users;
        int status;
        std::vector<std::string> values;  // name, domain, DNS domain, domain logon, local administrator
    } cases[] = {
        // The user list: user@domain for a domain logon, one entry per session, the first counts.
        {jdoe, groups, "jdoe@L1.L2.L3\n", 0, {"jdoe", "L1", "L1.L2.L3", "true", "false"}},
        {jdoe, groups, "user user\n", 0, {"user", "", "", "false", "false"}},
        {jdoe, groups, " j@corp.example.com\tj@x.y\n", 0, {"j", "corp", "corp.example.com", "true", "false"}},
        {jdoe, groups, "j@corp.example@other", 0, {"j", "corp", "corp.example", "true", "false"}},
        // Nobody logged on. Group id 27 makes an administrator whatever its name, as a member or the primary group.
        {jdoe, groups + "operators:x:27:jdoe\n", "", 0, {"", "", "", "false", "true"}},
        {account("jdoe", "27"), "staff:x:27:\n", "jdoe", 0, admin},
        // Without a user list that runs and succeeds, the account name: DOMAIN\user, or short.DNS.domain\user.
        {jdoe, groups, std::nullopt, 0, plain},
        {jdoe, groups, "ghost@corp\n", 1, plain},
        {account("CORP\\jdoe"), "sudo:x:27:CORP\\jdoe\n", std::nullopt, 0, {"jdoe", "CORP", "", "true", "true"}},
        {account("corp.example.com\\jdoe"), "sudo:x:27:jdoe\n", {}, 0,
         {"jdoe", "corp", "example.com", "true", "false"}},
        {account("CORP\\j\\doe"), "", std::nullopt, 0, {"j\\doe", "CORP", "", "true", "false"}},
        {account("jdoe@corp"), "", std::nullopt, 0, {"jdoe@corp", "", "", "false", "false"}},
        // Groups named exactly "admin" or "system" make an administrator; a group id without an entry is skipped.
        {jdoe, groups + "wheel:x:10:jdoe\n", "jdoe", 0, plain},
        {jdoe, groups + "admin:x:110:jdoe\n", "jdoe", 0, admin},
        {jdoe, groups + "system:x:111:other,jdoe\n", "jdoe", 0, admin},
        {jdoe, groups + "Admin:x:110:jdoe\nsystems:x:111:jdoe\nadmin:x:112:other\n", "jdoe", 0, plain},
        {jdoe, "wheel:x:10:jdoe\n", "jdoe", 0, plain},
    };
    for (const auto& row : cases) {
        given(row.passwd, row.group, row.users, row.status);
        PropertyMap expected;
        for (std::size_t key = 0; key < std::size(U::kKeys); ++key) expected[U::kKeys[key].key] = row.values[key];
        EXPECT_EQ(read(), expected) << row.passwd << row.group << row.users.value_or("(no user list)");
    }
}

TEST_F(UserProviderTest, SelectedKeysOnlyAndNamesAreDataNeverCommands)
{
    // Without an account of the user every selected key is unavailable, and nothing runs.
    given("someone:x:1000:1000::/:/bin/sh\n", "", "jdoe@corp.example");
    EXPECT_EQ(read(1, 0x80 | 0x02),
              (PropertyMap{{U::kDomain.key, "Unavailable"}, {U::kDomainLogon.key, "Unavailable"}}));
    given(account("jdoe"), "", "jdoe@corp.example");
    EXPECT_TRUE(read(0, 0xFF).empty());
    EXPECT_TRUE(read(1, 0x08 | 0x10 | 0x20).empty());
    EXPECT_EQ(read(1, 0x40), (PropertyMap{{U::kLocalAdmin.key, "false"}}));
    EXPECT_EQ(TestSupport::readWhole(dir.file("runs")), "");  // the user list runs only for its keys
    EXPECT_EQ(read(1, 0x80 | 0x04), (PropertyMap{{U::kDomainDns.key, "corp.example"}, {U::kDomainLogon.key, "true"}}));
    EXPECT_EQ(TestSupport::readWhole(dir.file("runs")), "run LC_ALL=C\n");

    const std::string touch = "$(touch " + dir.file("ran") + ")", unbroken = "$(touch${IFS}" + dir.file("ran") + ")";
    given(account("x" + touch + "'`id`"), "g" + touch + ":x:1000:\n", std::nullopt);
    EXPECT_EQ(read(1, 0x01 | 0x40),
              (PropertyMap{{U::kName.key, "x" + touch + "'`id`"}, {U::kLocalAdmin.key, "false"}}));
    given(account("jdoe"), "", unbroken + "@corp.example");
    EXPECT_EQ(read(1, 0x01).at(U::kName.key), unbroken);
    EXPECT_FALSE(std::filesystem::exists(dir.file("ran")));
}

// A session starting or ending rewrites the login records (in /var/run, a tmpfs here): the provider announces it,
// and the reading after it shows the new user.
TEST_F(UserProviderTest, ASessionStartingOrEndingIsAnnounced)
{
    const TestSupport::ScopedTmpfs run("/run");
    given(account("jdoe"), "", "jdoe\n");
    std::atomic<int> changes{0};
    UserProvider provider(TestSupport::category("User"), "20.1");
    provider.monitorForChanges([&changes](std::shared_ptr<Category const> changed) {
        changes += changed->name == "User" ? 1 : 0;
    });
    provider.awaitMonitoring();
    for (const char* user : {"asmith@corp.example\n", ""}) {
        const int before = changes;
        dir.write("users-output", user);
        run.write("utmp", user);
        EXPECT_TRUE(TestSupport::waitUntil([&] { return changes > before; })) << user;
        EXPECT_EQ(read(1, 0x01).at(U::kName.key), *user ? "asmith" : "") << user;
    }
    provider.close();
}
