#include "providers/user/UserIdentity.h"

#include <gtest/gtest.h>

namespace {

UserIdentity identity(std::string name, std::string domain, std::string dnsDomain, bool domainLogon)
{
    return UserIdentity{std::move(name), std::move(domain), std::move(dnsDomain), domainLogon};
}

}  // namespace

TEST(UserIdentity, UserListWritesDomainLogonsAsUserAtDomain)
{
    EXPECT_EQ(UserIdentity::fromUserList("jdoe@corp.example.com"),
              identity("jdoe", "corp", "corp.example.com", true));
    EXPECT_EQ(UserIdentity::fromUserList("jdoe@CORP"), identity("jdoe", "CORP", "CORP", true));
    EXPECT_EQ(UserIdentity::fromUserList("user"), identity("user", "", "", false));
    EXPECT_EQ(UserIdentity::fromUserList(""), identity("", "", "", false));
    // A second "@" ends both domains.
    EXPECT_EQ(UserIdentity::fromUserList("jdoe@corp.example@other"), identity("jdoe", "corp", "corp.example", true));
    EXPECT_EQ(UserIdentity::fromUserList("jdoe@corp@x.y"), identity("jdoe", "corp", "corp", true));
    EXPECT_EQ(UserIdentity::fromUserList("@corp.example"), identity("", "corp", "corp.example", true));
    EXPECT_EQ(UserIdentity::fromUserList("jdoe@"), identity("jdoe", "", "", true));
}

TEST(UserIdentity, UserListNamesOneEntryPerSessionAndTheFirstCounts)
{
    EXPECT_EQ(UserIdentity::fromUserList("jdoe@corp.example.com jdoe@corp.example.com"),
              identity("jdoe", "corp", "corp.example.com", true));
    EXPECT_EQ(UserIdentity::fromUserList("user user user"), identity("user", "", "", false));
    EXPECT_EQ(UserIdentity::fromUserList("  alice\tbob@corp.example\n"), identity("alice", "", "", false));
}

TEST(UserIdentity, AccountNameWritesDomainAccountsAsDomainBackslashUser)
{
    EXPECT_EQ(UserIdentity::fromAccountName("CORP\\jdoe"), identity("jdoe", "CORP", "", true));
    // The short domain is the first label, the DNS domain the labels after it.
    EXPECT_EQ(UserIdentity::fromAccountName("corp.example.com\\jdoe"), identity("jdoe", "corp", "example.com", true));
    EXPECT_EQ(UserIdentity::fromAccountName("root"), identity("root", "", "", false));
    EXPECT_EQ(UserIdentity::fromAccountName(""), identity("", "", "", false));
    // Only the first backslash separates.
    EXPECT_EQ(UserIdentity::fromAccountName("CORP\\j\\doe"), identity("j\\doe", "CORP", "", true));
    EXPECT_EQ(UserIdentity::fromAccountName("\\jdoe"), identity("jdoe", "", "", true));
    // An "@" in an account name is just a character of the name.
    EXPECT_EQ(UserIdentity::fromAccountName("jdoe@corp.example"), identity("jdoe@corp.example", "", "", false));
}
