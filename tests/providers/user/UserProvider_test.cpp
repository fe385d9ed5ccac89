// The user provider against the system's own components: the account and
// group databases read by glibc from /etc/passwd and /etc/group, and the
// logged-in user list as a program at /usr/bin/users, all given to the test
// by bind mounts in the test process's own mount namespace.
#include "providers/user/UserProvider.h"

#include "providers/device/OSDetect.h"
#include "support/Categories.h"
#include "support/LogWatch.h"
#include "support/MountNamespace.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <memory>
#include <vector>

using TestSupport::LogWatch;
using TestSupport::readWhole;
using TestSupport::ScopedBindMount;
using TestSupport::TempDir;

namespace {

using U = UserProvider;

PropertyMap read(int32_t status = 2, int32_t filter = 0)
{
    return TestSupport::readProvider<UserProvider>("User", status, filter);
}

PropertyMap values(const std::string& name, const std::string& domain, const std::string& dnsDomain,
                   const std::string& domainLogon, const std::string& localAdmin)
{
    return {{U::kName.key, name},
            {U::kDomain.key, domain},
            {U::kDomainDns.key, dnsDomain},
            {U::kDomainLogon.key, domainLogon},
            {U::kLocalAdmin.key, localAdmin}};
}

// The test runs as root: the account entry read is the one with user id 0.
class UserProviderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(geteuid(), 0U) << "the account read is the effective user's; these cases describe user id 0";
        // Only the files, so that no other source of accounts answers.
        mount(_dir.write("nsswitch.conf", "passwd: files\ngroup: files\nshadow: files\n"), "/etc/nsswitch.conf");
    }

    // The account and group databases, one entry a line.
    void databases(const std::string& passwd, const std::string& group)
    {
        mount(_dir.write("passwd", passwd), "/etc/passwd");
        mount(_dir.write("group", group), "/etc/group");
    }

    // A logged-in user list that prints `output` and exits with `status`;
    // each run is recorded with its LC_ALL.
    void userList(const std::string& output, int status = 0)
    {
        _dir.write("users-output", output);
        mount(_dir.script("users", "echo \"run LC_ALL=$LC_ALL\" >> '" + _dir.file("runs") + "'\n" +
                                       "cat '" + _dir.file("users-output") + "'\nexit " + std::to_string(status)),
              U::kUserListProgram);
    }

    // A system without a logged-in user list that can be run.
    void noUserList() { mount(_dir.write("users", "not a program\n"), U::kUserListProgram); }

    std::string runs() const { return readWhole(_dir.file("runs")); }

private:
    void mount(const std::string& source, const std::string& target)
    {
        _mounts.push_back(std::make_unique<ScopedBindMount>(source, target));
    }

    TempDir _dir;
    std::vector<std::unique_ptr<ScopedBindMount>> _mounts;  // after _dir: unmounted before it is removed
};

const std::string kPlainAccount = "jdoe:x:0:1000:J Doe:/root:/bin/sh\n";
const std::string kPlainGroups = "root:x:0:\njdoe:x:1000:\nusers:x:100:jdoe\n";

}  // namespace

TEST_F(UserProviderTest, DomainLogonFromTheUserList)
{
    databases(kPlainAccount, kPlainGroups);
    userList("jdoe@L1.L2.L3\n");
    EXPECT_EQ(read(), values("jdoe", "L1", "L1.L2.L3", "true", "false"));
    EXPECT_EQ(runs(), "run LC_ALL=C\n");
}

TEST_F(UserProviderTest, PlainUserFromTheUserList)
{
    databases(kPlainAccount, kPlainGroups);
    userList("user\n");
    EXPECT_EQ(read(), values("user", "", "", "false", "false"));
}

TEST_F(UserProviderTest, SeveralSessionsOfOneUserAreOneUser)
{
    databases(kPlainAccount, kPlainGroups);
    userList("jdoe@corp.example.com jdoe@corp.example.com\n");
    EXPECT_EQ(read(), values("jdoe", "corp", "corp.example.com", "true", "false"));
}

TEST_F(UserProviderTest, NobodyLoggedOnGivesEmptyNames)
{
    databases(kPlainAccount, kPlainGroups + "operators:x:27:jdoe\n");
    userList("");
    EXPECT_EQ(read(), values("", "", "", "false", "true"));
}

TEST_F(UserProviderTest, WithoutAUserListTheAccountNameCounts)
{
    // The library treats every system as IGEL OS; one without the user list
    // program reports the account.
    EXPECT_TRUE(OSDetect::IsIgel());
    databases(kPlainAccount, kPlainGroups);
    noUserList();
    EXPECT_EQ(read(), values("jdoe", "", "", "false", "false"));
    // A user list that fails is none either.
    userList("ghost@corp\n", 1);
    EXPECT_EQ(read(), values("jdoe", "", "", "false", "false"));
}

TEST_F(UserProviderTest, DomainAccountNameWithBackslash)
{
    databases("CORP\\jdoe:x:0:1000::/root:/bin/sh\n", "jdoe:x:1000:\nsudo:x:27:CORP\\jdoe\n");
    noUserList();
    EXPECT_EQ(read(), values("jdoe", "CORP", "", "true", "true"));

    databases("corp.example.com\\jdoe:x:0:1000::/root:/bin/sh\n", "jdoe:x:1000:\nsudo:x:27:jdoe\n");
    EXPECT_EQ(read(), values("jdoe", "corp", "example.com", "true", "false"));
}

TEST_F(UserProviderTest, NamesAreDataNeverCommands)
{
    TempDir witness;
    const std::string touch = "$(touch " + witness.file("ran") + ")";
    databases("x" + touch + "'`id`:x:0:1000::/root:/bin/sh\n", "g" + touch + ":x:1000:\n");
    noUserList();
    LogWatch log;
    EXPECT_EQ(read(1, 0x01 | 0x40),
              (PropertyMap{{U::kName.key, "x" + touch + "'`id`"}, {U::kLocalAdmin.key, "false"}}));
    EXPECT_TRUE(log.contains("User is a member of the group [g" + touch + "] gid [1000]"));

    const std::string touchWithoutBlank = "$(touch${IFS}" + witness.file("ran") + ")";
    userList(touchWithoutBlank + "@corp.example");
    EXPECT_EQ(read(1, 0x01).at(U::kName.key), touchWithoutBlank);
    EXPECT_NE(access(witness.file("ran").c_str(), F_OK), 0);
}

TEST_F(UserProviderTest, GroupIdTwentySevenMakesAnAdministratorWhateverItsName)
{
    databases(kPlainAccount, kPlainGroups + "operators:x:27:jdoe\n");
    userList("jdoe");
    LogWatch log;
    EXPECT_EQ(read(1, 0x40), (PropertyMap{{U::kLocalAdmin.key, "true"}}));
    EXPECT_TRUE(log.contains("User is a member of the group [jdoe] gid [1000]"));

    // As the primary group too.
    databases("jdoe:x:0:27::/root:/bin/sh\n", "staff:x:27:\n");
    EXPECT_EQ(read(1, 0x40), (PropertyMap{{U::kLocalAdmin.key, "true"}}));
}

TEST_F(UserProviderTest, OnlyGroupsNamedAdminOrSystemMakeAnAdministrator)
{
    userList("jdoe");
    databases(kPlainAccount, "jdoe:x:1000:\nwheel:x:10:jdoe\n");
    LogWatch log;
    EXPECT_EQ(read(1, 0x40).at(U::kLocalAdmin.key), "false");
    EXPECT_TRUE(log.contains("User is a member of the group [jdoe] gid [1000]"));
    EXPECT_TRUE(log.contains("User is a member of the group [wheel] gid [10]"));

    databases(kPlainAccount, "jdoe:x:1000:\nadmin:x:110:jdoe\n");
    EXPECT_EQ(read(1, 0x40).at(U::kLocalAdmin.key), "true");
    databases(kPlainAccount, "jdoe:x:1000:\nsystem:x:111:other,jdoe\n");
    EXPECT_EQ(read(1, 0x40).at(U::kLocalAdmin.key), "true");
    databases(kPlainAccount, "jdoe:x:1000:\nAdmin:x:110:jdoe\nsystems:x:111:jdoe\nadmin:x:112:other\n");
    EXPECT_EQ(read(1, 0x40).at(U::kLocalAdmin.key), "false");
    // A group id without a group entry is skipped.
    databases(kPlainAccount, "wheel:x:10:jdoe\n");
    EXPECT_EQ(read(1, 0x40).at(U::kLocalAdmin.key), "false");
}

TEST_F(UserProviderTest, WithoutAnAccountEverySelectedKeyIsUnavailable)
{
    databases("someone:x:1000:1000::/home/someone:/bin/sh\n", kPlainGroups);
    userList("jdoe@corp.example");
    EXPECT_EQ(read(), values("Unavailable", "Unavailable", "Unavailable", "Unavailable", "Unavailable"));
    EXPECT_EQ(read(1, 0x80 | 0x02),
              (PropertyMap{{U::kDomain.key, "Unavailable"}, {U::kDomainLogon.key, "Unavailable"}}));
    EXPECT_EQ(runs(), "");
}

TEST_F(UserProviderTest, FilterSelectsKeysAndTheUserListRunsOnlyForItsKeys)
{
    databases(kPlainAccount, kPlainGroups);
    userList("jdoe@corp.example");
    EXPECT_TRUE(read(0, 0xFF).empty());
    EXPECT_TRUE(read(1, 0x08 | 0x10 | 0x20).empty());
    EXPECT_EQ(read(1, 0x40), (PropertyMap{{U::kLocalAdmin.key, "false"}}));
    EXPECT_EQ(runs(), "");

    EXPECT_EQ(read(1, 0x80 | 0x04),
              (PropertyMap{{U::kDomainDns.key, "corp.example"}, {U::kDomainLogon.key, "true"}}));
    EXPECT_EQ(runs(), "run LC_ALL=C\n");
}

TEST_F(UserProviderTest, ReadingLogsItsStartAndEnd)
{
    databases(kPlainAccount, kPlainGroups);
    userList("jdoe");
    LogWatch log;
    read();
    EXPECT_TRUE(log.contains("getProperties : VERBOSE - Getting USER properties..."));
    EXPECT_TRUE(log.contains("getProperties : VERBOSE - Done getting USER properties."));
}
