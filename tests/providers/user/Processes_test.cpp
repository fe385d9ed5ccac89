#include "providers/user/Processes.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

TEST(Processes, SetOperationsOnSortedLists)
{
    struct Case {
        std::vector<int> previous, current, created, destroyed;
    };
    const Case cases[] = {
        {{}, {}, {}, {}},
        {{}, {1, 2}, {1, 2}, {}},
        {{1, 2}, {}, {}, {1, 2}},
        {{1, 3, 5}, {2, 4, 6}, {2, 4, 6}, {1, 3, 5}},
        {{1, 2, 3}, {1, 2, 3}, {}, {}},
        {{1, 3, 5, 7}, {2, 3, 6, 7, 9}, {2, 6, 9}, {1, 5}},
    };
    for (const Case& test : cases) {
        std::vector<int> created;
        std::vector<int> destroyed;
        Processes::createdFromSorted(test.previous, test.current, created);
        Processes::destroyedFromSorted(test.previous, test.current, destroyed);
        EXPECT_EQ(created, test.created) << ::testing::PrintToString(test.previous);
        EXPECT_EQ(destroyed, test.destroyed) << ::testing::PrintToString(test.previous);
    }

    std::vector<int> ids{30, 4, 1000, 2};
    Processes::sort(ids);
    EXPECT_EQ(ids, (std::vector<int>{2, 4, 30, 1000}));
    EXPECT_TRUE(Processes::eraseFromSorted(30, ids));
    EXPECT_FALSE(Processes::eraseFromSorted(30, ids));
    EXPECT_FALSE(Processes::eraseFromSorted(5, ids));
    EXPECT_FALSE(Processes::eraseFromSorted(2000, ids));
    EXPECT_EQ(ids, (std::vector<int>{2, 4, 1000}));
    for (const int first : {2, 1000, 4}) {
        EXPECT_TRUE(Processes::eraseFromSorted(first, ids)) << first;
    }
    EXPECT_FALSE(Processes::eraseFromSorted(4, ids));
}

TEST(Processes, EnumeratesAndNamesRealProcesses)
{
    const std::vector<int> ids = Processes::enumerate().value_or(std::vector<int>{});
    EXPECT_NE(std::find(ids.begin(), ids.end(), getpid()), ids.end());
    EXPECT_TRUE(std::all_of(ids.begin(), ids.end(), [](int pid) { return pid > 0; }));

    EXPECT_EQ(Processes::name(getpid()), std::string(program_invocation_short_name).substr(0, 15));

    // The kernel's name may hold a blank: the name is its first word.
    char own[16] = {};
    ASSERT_EQ(prctl(PR_GET_NAME, own), 0);
    ASSERT_EQ(prctl(PR_SET_NAME, "two words"), 0);
    const std::optional<std::string> named = Processes::name(getpid());
    prctl(PR_SET_NAME, own);
    EXPECT_EQ(named, "two");

    // No process has the id pid_max, nor a negative one.
    const int pidMax = std::stoi(TestSupport::readWhole("/proc/sys/kernel/pid_max"));
    EXPECT_FALSE(Processes::name(pidMax));
    EXPECT_FALSE(Processes::name(-1));
}
