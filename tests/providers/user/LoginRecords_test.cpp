// SPDX-License-Identifier: Apache-2.0
// The logged-in user list from login records, as `users` prints it.
#include "providers/user/LoginRecords.h"

#include "support/LoginSessions.h"

#include <gtest/gtest.h>

using TestSupport::LoginSession;

TEST(LoginRecords, OneSortedNamePerSessionOfAUserWhoseProcessRuns)
{
    constexpr pid_t gone = 999999;
    const struct {
        std::vector<LoginSession> sessions;
        std::string list;
    } cases[] = {
        {{}, ""},
        {{{"jdoe"}}, "jdoe"},
        // Sorted byte by byte, one entry per session.
        {{{"zed"}, {"amy@corp.example"}, {"Zoe"}, {"zed"}}, "Zoe amy@corp.example zed zed"},
        // Only user sessions with a name and a process that still runs.
        {{{"LOGIN", 1, LOGIN_PROCESS}, {"reboot", 0, BOOT_TIME}, {"old", 1, DEAD_PROCESS}, {"", 1}, {"ghost", gone},
          {"nobody", 0}, {"jdoe"}},
         "jdoe"},
        // Trailing blanks are no part of a name; a name fills its whole field without a terminator.
        {{{"jdoe  "}, {std::string(UT_NAMESIZE, 'x') + "yz"}}, "jdoe " + std::string(UT_NAMESIZE, 'x')},
    };
    for (const auto& row : cases) {
        const std::string records = TestSupport::loginRecords(row.sessions);
        const auto alive = [](pid_t pid) { return pid != gone && pid > 0; };
        EXPECT_EQ(LoginRecords::userList(records, alive), row.list);
        // A record cut short at the end (a session being written) is left out.
        EXPECT_EQ(LoginRecords::userList(records + TestSupport::loginRecords({{"late"}}).substr(0, 100), alive),
                  row.list);
    }
}
