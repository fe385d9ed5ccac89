// SPDX-License-Identifier: Apache-2.0
// Base::ChangeWatch against the real kernel: files in a directory of their own, replaced, removed and made again.
// The kernel files that announce changes are tested with the providers that watch them.
#include "base/ChangeWatch.h"

#include "support/LogWatch.h"
#include "support/MainLoop.h"

#include <gtest/gtest.h>

#include "base/ChangeSource.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {
// Each step, in turn, is one change: no fewer, and no more within a moment.
using Steps = std::vector<std::pair<const char*, std::function<void()>>>;
void expectOneChangeEach(const Steps& steps, const std::atomic<int>& changes)
{
    for (const auto& [what, step] : steps) {
        const int before = changes;
        step();
        EXPECT_TRUE(TestSupport::waitUntil([&] { return changes > before; })) << what;
        TestSupport::waitUntil([&] { return changes > before + 1; }, std::chrono::milliseconds(50));
        EXPECT_EQ(changes, before + 1) << what;
    }
}
}  // namespace

TEST(ChangeWatch, EveryWayAWatchedFileChangesIsOneChangeAndStopLeavesNothing)
{
    const TestSupport::TempDir dir, other;
    const std::size_t watches = TestSupport::inotifyWatches();
    const std::string watched = dir.write("zone", "one"), second = dir.file("second");
    std::atomic<int> changes{0};
    Base::ChangeWatch watch("Test");
    ASSERT_TRUE(watch.start({.files = {watched, second, other.file("gone/x")}}, [&changes] { ++changes; }));
    const Steps steps = {
        {"written", [&] { std::ofstream(watched, std::ios::app) << "two"; }},
        {"replaced by a rename", [&] { fs::rename(dir.write("new", "three"), watched); }},
        {"replaced by a link", [&] { fs::remove(watched), fs::create_symlink("/etc/hostname", watched); }},
        {"written through its link", [&] { fs::remove(watched), dir.write("zone", "four"); }},
        {"removed", [&] { fs::remove(watched); }},
        {"made", [&] { dir.write("second", "x"); }},
        {"an unwatched file, then a watched one", [&] { dir.write("unwatched", ""), fs::remove(second); }},
    };
    expectOneChangeEach(steps, changes);
    watch.stop();
    EXPECT_FALSE(watch.running());
    // Its directories are let go of; the process's one inotify descriptor stays for the next watch.
    EXPECT_EQ(TestSupport::inotifyWatches(), watches);
    EXPECT_EQ(TestSupport::inotifyDescriptors(), 1U);
    const int stopped = changes;
    dir.write("zone", "after");
    EXPECT_FALSE(TestSupport::waitUntil([&] { return changes > stopped; }, std::chrono::milliseconds(50)));
}

TEST(ChangeWatch, WatchesAskedToStopEndOnTheirOwnThreadsWhileTheirFilesKeepChanging)
{
    const TestSupport::TempDir dir;
    const std::size_t watched = TestSupport::inotifyWatches();
    std::atomic<int> changes{0};
    std::vector<std::unique_ptr<Base::ChangeWatch>> watches;
    for (const char* name : {"one", "two", "three"}) {
        watches.push_back(std::make_unique<Base::ChangeWatch>(name));
        ASSERT_TRUE(watches.back()->start({.files = {dir.file(name)}}, [&changes] { ++changes; }));
    }
    // A file that changes every few milliseconds keeps its watch settling.
    std::atomic<bool> writing{true};
    std::thread writer([&] {
        for (int round = 0; writing; ++round) {
            for (const char* name : {"one", "two", "three"}) {
                dir.write(name, std::to_string(round));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    ASSERT_TRUE(TestSupport::waitUntil([&] { return changes > 0; }));
    for (const auto& watch : watches) {
        watch->requestStop();
    }
    // Their directories are let go of at once, before anyone waits for a thread; the three share one descriptor.
    EXPECT_EQ(TestSupport::inotifyWatches(), watched);
    EXPECT_EQ(TestSupport::inotifyDescriptors(), 1U);
    const int stopped = changes;
    EXPECT_FALSE(TestSupport::waitUntil([&] { return changes > stopped; }, std::chrono::milliseconds(100)));
    writing = false;
    writer.join();
    for (const auto& watch : watches) {
        watch->stop();
        EXPECT_FALSE(watch->running());
    }
}

TEST(ChangeWatch, AWatchWithNothingToWatchDoesNotStartAndAGoneDirectoryEndsItsPart)
{
    const TestSupport::LogWatch log;
    Base::ChangeWatch nothing("Test");
    EXPECT_FALSE(nothing.start({{"/nonexistent/file"}, {"/nonexistent/proc"}, {}}, [] {}));
    std::atomic<int> changes{0};
    std::optional<TestSupport::TempDir> dir(std::in_place);
    Base::ChangeWatch watch("Test");
    ASSERT_TRUE(watch.start({.files = {dir->file("f")}}, [&changes] { ++changes; }));
    dir.reset();
    EXPECT_TRUE(TestSupport::waitUntil([&] { return log.contains("its directory went away"); })) << log.text();
    EXPECT_TRUE(TestSupport::waitUntil([&] { return !watch.running() || changes > 0; }));
}

namespace {
// A source the test switches: away, there (announcing through an eventfd), or lost while connected.
struct SwitchedSource : Base::ChangeSource {
    std::atomic<bool> there{false}, lose{false}, absentWhileAway{false};
    std::atomic<int> connects{0}, disconnects{0};
    std::atomic<std::thread::id> disconnectedOn{};
    Base::Descriptor announced;
    std::string what() const override { return "the switched source"; }
    int connect(std::string& why) override
    {
        ++connects;
        if (!there) {
            why = "switched off";
            return -1;
        }
        announced.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        return announced.get();
    }
    Taken take() override
    {
        uint64_t count = 0;
        const bool read = ::read(announced.get(), &count, sizeof(count)) == sizeof(count);
        return lose ? Taken::lost : read ? Taken::changed : Taken::nothing;
    }
    void disconnect() override { ++disconnects, disconnectedOn = std::this_thread::get_id(), announced.reset(); }
    bool absent() const override { return absentWhileAway; }
    void announce() { uint64_t one = 1; EXPECT_EQ(write(announced.get(), &one, sizeof(one)), 8); }
};
}  // namespace

// A source away at the start is waited for; its arrival, its announcements, its loss and its return are one change
// each; it is let go on the watch's own thread when the watch stops.
TEST(ChangeWatch, ASourceThatComesAndGoesIsWaitedForAndEachOfItsStepsIsAChange)
{
    auto source = std::make_shared<SwitchedSource>();
    std::atomic<int> changes{0};
    Base::ChangeWatch watch("Test");
    ASSERT_TRUE(watch.start({.others = {source}}, [&changes] { ++changes; }));
    const auto quiet = watch.quiet();  // complete only while every source is in place and the watch runs
    EXPECT_FALSE(quiet->complete);
    const Steps steps = {
        {"comes", [&] { source->there = true; }},
        {"announces", [&] { source->announce(); }},
        {"is lost", [&] { source->there = false, source->lose = true, source->announce(); }},
        {"comes back", [&] { source->lose = false, source->there = true; }},
    };
    expectOneChangeEach(steps, changes);
    EXPECT_TRUE(quiet->complete);
    EXPECT_GE(quiet->generation, 4U);
    watch.stop();
    EXPECT_FALSE(quiet->complete);
    EXPECT_EQ(source->disconnects, 2);
    EXPECT_NE(source->disconnectedOn.load(), std::this_thread::get_id());
    EXPECT_FALSE(source->announced);
}

// A source not there at all (no bus, no display) leaves the watch complete, so that readings are kept while it is
// away; one that is there but refuses does not. Either's coming is a change that ends what was kept.
TEST(ChangeWatch, ASourceNotThereAtAllLeavesTheWatchCompleteOneThatRefusesDoesNot)
{
    for (const bool absent : {true, false}) {
        auto source = std::make_shared<SwitchedSource>();
        source->absentWhileAway = absent;
        std::atomic<int> changes{0};
        Base::ChangeWatch watch("Test");
        ASSERT_TRUE(watch.start({.others = {source}}, [&changes] { ++changes; }));
        const auto quiet = watch.quiet();
        EXPECT_EQ(quiet->complete, absent) << absent;
        const std::uint64_t away = quiet->generation;
        source->there = true;
        EXPECT_TRUE(TestSupport::waitUntil([&] { return changes > 0; })) << absent;
        EXPECT_TRUE(quiet->complete) << absent;
        EXPECT_GT(quiet->generation, away) << absent;
    }
}
