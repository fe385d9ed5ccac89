// SPDX-License-Identifier: Apache-2.0
#include "providers/user/Processes.h"

#include "base/Descriptor.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

TEST(Processes, LastCreatedIsTheFifthFieldOfTheLoadAverage)
{
    const struct {
        const char* text;
        std::optional<int> expected;
    } cases[] = {
        {"0.05 0.10 0.15 1/234 5678\n", 5678},
        {"0.00 0.00 0.00 2/97 1", 1},
        {"0.05 0.10 0.15 1/234 5678 9", 5678},
        {"0.05 0.10 0.15 1/234", std::nullopt},
        {"0.05 0.10 0.15 1/234 ", std::nullopt},
        {"0.05 0.10 0.15 234 5678", std::nullopt},
        {"0.05 0.10 0.15 1/234 56x8", std::nullopt},
        {"0.05 0.10 0.15 1/234 -5", std::nullopt},
        {"0.05 0.10 0.15 1/234 99999999999", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Processes::lastCreatedFrom(c.text), c.expected) << c.text;
    }
}

TEST(Processes, AStartedProcessMovesTheLastCreatedId)
{
    ASSERT_TRUE(Processes::listsOwnNamespace());
    const Base::Descriptor loadavg(open("/proc/loadavg", O_RDONLY | O_CLOEXEC));
    const std::optional<int> before = Processes::lastCreated(loadavg.get());
    ASSERT_TRUE(before);
    const pid_t child = fork();
    if (child == 0) {
        _exit(0);
    }
    ASSERT_GT(child, 0);
    EXPECT_TRUE(Processes::exists(child));  // not yet reaped
    const std::optional<int> after = Processes::lastCreated(loadavg.get());  // read again in place
    waitpid(child, nullptr, 0);
    EXPECT_NE(after, before);
    EXPECT_FALSE(Processes::exists(child));
}
