// SPDX-License-Identifier: Apache-2.0
#include "base/UniqueHandle.h"

#include <gtest/gtest.h>

static std::vector<int> released;
struct UniqueHandleTestTraits {
    static constexpr int invalid = -1;
    static void release(int handle) { released.push_back(handle); }
};
using Handle = Base::UniqueValue<int, UniqueHandleTestTraits>;

// Every handle is released exactly once, whichever way its owner changes.
TEST(UniqueHandle, ReleasesEachHandleOnce)
{
    {
        Handle first(1);
        Handle second(2);
        first = std::move(second);
        EXPECT_EQ(released, std::vector<int>{1});
        Handle third(std::move(first));
        third.reset(3);
        third.reset(3);
        EXPECT_EQ(Handle(4).release(), 4);
    }
    EXPECT_EQ(released, (std::vector<int>{1, 2, 3}));
}
