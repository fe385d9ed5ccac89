// SPDX-License-Identifier: Apache-2.0
// Base::FileEvents against the kernel's inotify: subscriptions share the one
// instance and the directories they both watch, and each gets its own events
// whichever of them read the instance.
#include "base/FileEvents.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>

#include <filesystem>

namespace {
constexpr std::uint32_t kMask = IN_CREATE | IN_DELETE | IN_ONLYDIR;

bool readable(int descriptor)
{
    pollfd polled{descriptor, POLLIN, 0};
    return poll(&polled, 1, 1000) == 1;
}

std::vector<std::string> names(const std::vector<Base::FileEvents::Event>& events)
{
    std::vector<std::string> taken;
    for (const auto& event : events) taken.push_back((event.mask & IN_IGNORED) != 0 ? "<gone>" : event.name);
    return taken;
}
}  // namespace

TEST(FileEvents, SubscriptionsShareTheInstanceAndEachGetsItsOwnEvents)
{
    const TestSupport::TempDir shared, own;
    Base::FileEvents::Subscription first, second;
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first.instance(), second.instance());
    const int both = first.watch(shared.path(), kMask);
    ASSERT_GE(both, 0);
    EXPECT_EQ(second.watch(shared.path(), kMask), both);  // one kernel watch for the directory
    ASSERT_GE(second.watch(own.path(), kMask), 0);
    EXPECT_EQ(TestSupport::inotifyWatches(), 2U);

    // The second reads the instance; the first learns of its event through its wake descriptor.
    shared.write("a", ""), own.write("b", "");
    ASSERT_TRUE(readable(second.instance()));
    EXPECT_EQ(names(second.take()), (std::vector<std::string>{"a", "b"}));
    ASSERT_TRUE(readable(first.wake()));
    EXPECT_EQ(names(first.take()), std::vector<std::string>{"a"});
    EXPECT_TRUE(first.take().empty());

    // A directory one lets go of stays watched for the other, until it lets go too.
    first.unwatchAll();
    EXPECT_EQ(TestSupport::inotifyWatches(), 2U);
    shared.write("c", "");
    ASSERT_TRUE(readable(second.instance()));
    EXPECT_EQ(names(second.take()), std::vector<std::string>{"c"});
    EXPECT_TRUE(first.take().empty());
    second.unwatchAll();
    EXPECT_EQ(TestSupport::inotifyWatches(), 0U);
}

TEST(FileEvents, ADirectoryThatGoesAwayReachesEverySubscriptionOfIt)
{
    const TestSupport::TempDir dir;
    const std::string gone = dir.file("gone");
    std::filesystem::create_directory(gone);
    Base::FileEvents::Subscription first, second;
    ASSERT_GE(first.watch(gone, kMask), 0);
    ASSERT_GE(second.watch(gone, kMask), 0);
    std::filesystem::remove(gone);
    ASSERT_TRUE(readable(first.instance()));
    EXPECT_EQ(names(first.take()), (std::vector<std::string>{"<gone>"}));
    ASSERT_TRUE(readable(second.wake()));
    EXPECT_EQ(names(second.take()), (std::vector<std::string>{"<gone>"}));
    EXPECT_EQ(TestSupport::inotifyWatches(), 0U);
    second.unwatchAll();  // nothing left to let go of
}
