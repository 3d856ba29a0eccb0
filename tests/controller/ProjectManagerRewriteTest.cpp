// When a queued project-file rewrite happens, on a fake clock.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "ProjectManagerTestSupport.h"

using namespace ProjectManagerTest;

namespace {

constexpr std::time_t kStart = 1700000000;

class Rewrite : public ::testing::Test {
protected:
    void SetUp() override {
        ResetGlobalSettings();
        pm.SetRootPath(root.Path());
        pm.SetClock([this] { return now; });
        ASSERT_EQ(pm.OpenProject(&target), 0);
        target.LoadLikeMain(pm);
        target.duringRewrite = [this] { ++writes; };
    }
    void TearDown() override { ResetGlobalSettings(); }

    // Calls UpdateConfiguration once a second from the start until the first
    // write or the end, queueing a request at each of the given seconds first.
    // Returns the second of the first write, or -1.
    int FirstWriteSecond(const std::vector<int>& requestSeconds, int end) {
        const int before = writes;
        for (int second = 0; second <= end; ++second) {
            now = kStart + second;
            if (std::find(requestSeconds.begin(), requestSeconds.end(), second) != requestSeconds.end()) {
                pm.QueueUpdateProjectFile();
            }
            pm.UpdateConfiguration(&target, false);
            if (writes > before) return second;
        }
        return -1;
    }

    ProjectRoot root;
    LogCapture log;
    ProjectManager pm;
    FakeTarget target;
    std::time_t now = kStart;
    int writes = 0;
};

TEST_F(Rewrite, AtTheLatestFifteenSecondsAfterTheFirstRequest) {
    std::vector<int> everyTwoSeconds;
    for (int s = 0; s <= 30; s += 2) everyTwoSeconds.push_back(s);
    EXPECT_EQ(FirstWriteSecond(everyTwoSeconds, 30), 16);
    EXPECT_FALSE(pm.IsRewritePending());
}

TEST_F(Rewrite, ThreeQuietSecondsAfterTheLastRequest) {
    EXPECT_EQ(FirstWriteSecond({0, 2, 4, 6}, 30), 10);
    EXPECT_EQ(FirstWriteSecond({}, 40), -1);  // nothing pending any more
}

TEST_F(Rewrite, ForceWritesOnlyAPendingRequest) {
    pm.UpdateConfiguration(&target, true);
    EXPECT_EQ(writes, 0);

    pm.QueueUpdateProjectFile();
    pm.UpdateConfiguration(&target, false);
    EXPECT_EQ(writes, 0);
    pm.UpdateConfiguration(&target, true);
    EXPECT_EQ(writes, 1);
    EXPECT_TRUE(log.Has("ProjectManager: Project file " + root.ProjectPath() + " updated", false));
    pm.UpdateConfiguration(&target, true);
    EXPECT_EQ(writes, 1);
}

TEST_F(Rewrite, RequestDuringARewriteStartsANewCycle) {
    target.duringRewrite = [this] {
        ++writes;
        pm.QueueUpdateProjectFile();
    };
    pm.QueueUpdateProjectFile();
    pm.UpdateConfiguration(&target, true);
    EXPECT_EQ(writes, 1);
    EXPECT_TRUE(pm.IsRewritePending());
}

TEST_F(Rewrite, BusyLockSkipsAnUnforcedRewriteAndKeepsTheRequest) {
    int nestedWrites = -1;
    target.duringRewrite = [this, &nestedWrites] {
        ++writes;
        if (writes > 1) return;
        // Another thread's due rewrite while this one holds the lock.
        std::thread other([this, &nestedWrites] {
            pm.QueueUpdateProjectFile();
            now += 100;
            const int before = writes;
            pm.UpdateConfiguration(&target, false);
            nestedWrites = writes - before;
        });
        other.join();
    };
    pm.QueueUpdateProjectFile();
    pm.UpdateConfiguration(&target, true);
    EXPECT_EQ(nestedWrites, 0);
    EXPECT_TRUE(pm.IsRewritePending());

    pm.UpdateConfiguration(&target, true);
    EXPECT_EQ(writes, 2);
    EXPECT_FALSE(pm.IsRewritePending());
}

// Before a power-off: the change queued during a running rewrite still reaches the file.
TEST_F(Rewrite, ForcedRewriteWaitsForTheRunningOne) {
    std::atomic<bool> asked{false};
    std::thread other;
    target.duringRewrite = [this, &asked, &other] {
        ++writes;
        if (writes > 1) return;
        other = std::thread([this, &asked] {
            pm.QueueUpdateProjectFile();
            asked = true;
            pm.UpdateConfiguration(&target, true);
        });
        while (!asked) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        // Give the forced call time to meet the held lock.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    };
    pm.QueueUpdateProjectFile();
    pm.UpdateConfiguration(&target, true);
    other.join();
    EXPECT_EQ(writes, 2);
    EXPECT_FALSE(pm.IsRewritePending());
}

}  // namespace
