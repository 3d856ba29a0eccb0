// The robot thread without a bus: publishing, the mailboxes of other
// threads, the timing of suspended cycles, the wait for the next cycle and
// the log of late cycles, stop and join.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/LogSingleton.h"
#include "controller/RobotMaster.h"
#include "controller/RobotMasterTestSupport.h"

using RobotMasterTest::Child;
using RobotMasterTest::LogCapture;
using RobotMasterTest::RobotFile;
using RobotMasterTest::WaitFor;

namespace {

class RobotMasterThreadTest : public ::testing::Test {
protected:
    void SetUp() override { RobotMasterTest::ResetLogState(); }
    void TearDown() override { RobotMasterTest::ResetLogState(); }
};

TEST_F(RobotMasterThreadTest, CyclesPublishTheStateThatOtherThreadsCopy) {
    RobotFile file;
    LogCapture capture;
    auto rm = std::make_unique<RobotMaster>();
    rm->Init("Arm", "KorvellaSix", file.Relative());
    rm->FinishInit();

    // Readers copy the published state while the robot thread keeps writing it.
    std::atomic<bool> stopReading{false};
    std::atomic<int> copies{0};
    std::thread reader([&]() {
        while (!stopReading) {
            DataTypes::RobotState state = rm->GetRobotState();
            if (!state.errorText.empty()) ++copies;
        }
    });

    // Without a bus the drives report "NotConnected", so nothing may move.
    EXPECT_TRUE(WaitFor([&]() { return rm->GetRobotState().errorText == "NotConnected"; }));
    EXPECT_TRUE(WaitFor([&]() { return rm->GetRobotState().kinematicState == 99; }));
    // The cycle logs this after it has published the state.
    EXPECT_TRUE(WaitFor(
        [&]() { return capture.Has("RobotMaster: Resetting DOuts on error (main loop), error state: NotConnected"); }));

    // An output set from this thread reaches the cycle and comes back published.
    rm->SetManualDOut(5, true);
    rm->SetGlobalSignal(42, true);
    rm->SetManualDOut(64, true);  // not an output: ignored
    EXPECT_TRUE(WaitFor([&]() { return rm->GetRobotState().digitalOutputs[5]; }));
    EXPECT_TRUE(WaitFor([&]() { return rm->GetRobotState().globalSignals[42]; }));
    rm->SetManualDOut(5, false);
    EXPECT_TRUE(WaitFor([&]() { return !rm->GetRobotState().digitalOutputs[5]; }));

    // The pose of the home joints and "#position" are kept every cycle.
    EXPECT_TRUE(rm->programMemory.HasVariable("#position"));
    EXPECT_TRUE(WaitFor([&]() { return rm->GetFrequency() > 0.0f; }));
    EXPECT_GT(rm->GetMinCycleTime(), 0.0f);
    EXPECT_LE(rm->GetMinCycleTime(), rm->GetMaxCycleTime());

    stopReading = true;
    reader.join();
    EXPECT_GT(copies.load(), 0);

    // Destruction stops and joins the robot thread first.
    rm.reset();
    EXPECT_TRUE(capture.Has("RobotMaster: Timing mode: Mode 2"));
}

TEST_F(RobotMasterThreadTest, SuspendedCyclesStillWaitTheirPeriod) {
    RobotFile file;
    RobotMaster rm;
    rm.Init("Arm", "KorvellaSix", file.Relative());
    ASSERT_EQ(rm.GetTimingMode(), 2);
    // Started without FinishInit: every cycle is suspended.
    rm.StartMainLoop();
    ASSERT_TRUE(rm.IsCycleSuspended());
    ASSERT_TRUE(WaitFor([&]() { return rm.GetFrequency() > 0.0f; }));
    // A suspended cycle that skipped its wait would run thousands of times a second.
    EXPECT_LT(rm.GetFrequency(), 1.5f * 1000.0f / rm.GetCycleTime());
    EXPECT_GE(rm.GetMinCycleTime(), 0.5f * rm.GetCycleTime() * 1000.0f);
    rm.StopMainLoop();
    EXPECT_FALSE(rm.IsMainLoopRunning());
}

// Two threads whose driver operations overlap and end in the order they
// began: the cycle stays suspended until the second has ended, then resumes.
TEST_F(RobotMasterThreadTest, OverlappingDriverOperationsResumeTheCycleOnlyAfterTheLast) {
    RobotFile file;
    RobotMaster rm;
    rm.Init("Arm", "KorvellaSix", file.Relative());
    rm.FinishInit();
    ASSERT_FALSE(rm.IsCycleSuspended());

    // Each referencing call is held inside its driver call (its first log line) until released.
    std::mutex mutex;
    std::condition_variable changed;
    int entered = 0;
    int released = 0;
    LogSingleton::instance()->SetLineObserver([&](const std::string& message, bool) {
        if (message.compare(0, 8, "VQTCAN2:") != 0 || message.find("reference joint") == std::string::npos) return;
        std::unique_lock<std::mutex> lock(mutex);
        const int mine = ++entered;
        changed.notify_all();
        changed.wait_for(lock, std::chrono::seconds(20), [&]() { return released >= mine; });
    });
    auto waitEntered = [&](int count) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [&]() { return entered >= count; });
    };
    auto release = [&](int count) {
        std::lock_guard<std::mutex> lock(mutex);
        released = count;
        changed.notify_all();
    };

    std::thread first([&]() { rm.ReferenceJoint(0); });
    const bool firstEntered = waitEntered(1);
    std::thread second([&]() { rm.ReferenceJoint(1); });
    const bool secondEntered = waitEntered(2);
    const bool suspendedWhileBoth = rm.IsCycleSuspended();
    release(1);
    first.join();
    const bool suspendedWhileSecond = rm.IsCycleSuspended();
    release(2);
    second.join();
    LogSingleton::instance()->SetLineObserver(nullptr);

    ASSERT_TRUE(firstEntered);
    ASSERT_TRUE(secondEntered);
    EXPECT_TRUE(suspendedWhileBoth);
    EXPECT_TRUE(suspendedWhileSecond);
    EXPECT_FALSE(rm.IsCycleSuspended());
    rm.StopMainLoop();
}

TEST_F(RobotMasterThreadTest, SeriousFailureKeepsTheCycleFromRunning) {
    RobotFile file;
    RobotMaster rm;
    rm.Init("Arm", "KorvellaSix", file.Relative());
    LogSingleton::instance()->set_opMode(opModeSeriousFail);
    rm.FinishInit();
    // The gate waits 50 ms at a time; the state stays as set-up left it.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(rm.GetRobotState().errorText, "n/a");
    EXPECT_FLOAT_EQ(rm.GetFrequency(), 0.0f);
    rm.StopMainLoop();
}

}  // namespace

// Each cycle sleeps once, to the robot file's margin before its start, and
// busy-waits only that margin; precise timing never sleeps. Timing mode 2
// starts a period after the previous start, mode 1 on whole periods.
TEST_F(RobotMasterThreadTest, TheWaitSleepsOnceToTheSpinMarginBeforeEachCycleStart) {
    const struct {
        int timingMode;
        const char* margin;  // SpinMarginMS, nullptr: not in the file
        const char* precise;
        int32_t marginUs;
    } cases[] = {
        {2, nullptr, "false", CycleWait::DefaultMarginUs},
        {2, "1.5", "false", 1500},
        {1, nullptr, "false", CycleWait::DefaultMarginUs},
        {1, "0.8", "false", 800},
        {2, "1.5", "true", 0},
        {1, nullptr, "1", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.timingMode) + " " + (c.margin ? c.margin : "-") + " " + c.precise);
        RobotFile file([&](tinyxml2::XMLElement* robot) {
            tinyxml2::XMLElement* bus = Child(robot, "BusConfiguration");
            bus->SetAttribute("TimingMode", c.timingMode);
            bus->SetAttribute("PreciseTiming", c.precise);
            if (c.margin) bus->SetAttribute("SpinMarginMS", c.margin);
        });
        RobotMaster rm;
        rm.Init("Arm", "KorvellaSix", file.Relative());
        ASSERT_EQ(rm.GetTimingMode(), c.timingMode);
        // Both lists are written on the robot thread and read after it has been joined.
        std::vector<uint64_t> starts;
        std::vector<uint64_t> sleeps;
        std::atomic<int> cycles{0};
        rm.SetCycleObserver([&](uint64_t startUs, uint64_t, uint64_t) {
            starts.push_back(startUs);
            ++cycles;
        });
        rm.SetCycleSleeper([&](uint64_t untilUs) {
            sleeps.push_back(untilUs);
            CycleWait::SleepUntilMonotonicUs(untilUs);
        });
        rm.FinishInit();
        ASSERT_TRUE(WaitFor([&]() { return cycles.load() >= 20; }));
        rm.StopMainLoop();

        const uint64_t period = static_cast<uint64_t>(rm.GetCycleTime()) * 1000u;
        if (c.marginUs == 0) {
            EXPECT_TRUE(sleeps.empty());
            continue;
        }
        // A cycle that overran does not sleep; a loaded machine may overrun a few.
        EXPECT_GE(sleeps.size(), 5u);
        EXPECT_LE(sleeps.size(), starts.size() + 1);
        int unmatched = 0;
        for (uint64_t until : sleeps) {
            const uint64_t start = until + static_cast<uint64_t>(c.marginUs);
            const bool matched =
                c.timingMode == 1 ? start % period == 0
                                  : std::find(starts.begin(), starts.end(), start - period) != starts.end();
            if (!matched) ++unmatched;
        }
        // In mode 2 the first wait counts from the thread's start, which no observer saw.
        EXPECT_LE(unmatched, c.timingMode == 1 ? 0 : 1);
        // Every cycle started at or after the end of its margin.
        for (uint64_t until : sleeps) {
            const auto next = std::upper_bound(starts.begin(), starts.end(), until);
            if (next != starts.end()) {
                EXPECT_GE(*next, until + static_cast<uint64_t>(c.marginUs));
            }
        }
    }
}

// Many late cycles in a row: the first is logged at once with its cycle time,
// then one line every few seconds with how many more there were and the
// longest; the statistics still see every one of them.
TEST_F(RobotMasterThreadTest, LateCyclesAreLoggedOnceInFullThenCountedWithTheLongest) {
    RobotFile file;
    LogCapture capture;
    RobotMaster rm;
    rm.Init("Arm", "KorvellaSix", file.Relative());
    ASSERT_EQ(rm.GetTimingMode(), 2);
    const int64_t periodUs = static_cast<int64_t>(rm.GetCycleTime()) * 1000;
    const int64_t lateUs = periodUs * 12 / 10;

    // The pacing clock moves 200 ms per late cycle made here: 40 of them span 8 s.
    std::atomic<int64_t> fakeMs{1000000};
    rm.SetLateCycleLogClock([&]() { return RepeatedEventLog::Clock::time_point(std::chrono::milliseconds(fakeMs.load())); });
    constexpr int Made = 40;
    std::atomic<int> toMake{0};
    std::atomic<int> made{0};
    // Written on the robot thread, read after it has been joined.
    std::vector<int64_t> cycleTimes;
    uint64_t lastStart = 0;
    rm.SetCycleObserver([&](uint64_t startUs, uint64_t, uint64_t) {
        if (lastStart != 0) cycleTimes.push_back(static_cast<int64_t>(startUs - lastStart));
        lastStart = startUs;
        if (toMake.load() > made.load()) {
            // Holding the thread here makes the next cycle end late.
            std::this_thread::sleep_for(std::chrono::microseconds(periodUs * 3 / 2));
            fakeMs += 200;
            ++made;
        }
    });
    rm.FinishInit();
    ASSERT_TRUE(WaitFor([&]() { return rm.GetFrequency() > 0.0f; }));
    toMake = Made;
    ASSERT_TRUE(WaitFor([&]() { return made.load() >= Made; }, std::chrono::seconds(30)));
    // After the run, a quiet spell of the pacing clock: the rest is summed up.
    fakeMs += 10000;
    EXPECT_TRUE(WaitFor([&]() { return capture.CountContaining("more times, longest:") >= 2; }));
    rm.StopMainLoop();

    const std::vector<std::string> lines = capture.StartingWith("RobotMaster::Loop - CycleTime exceeded");
    int64_t longestSeen = 0;
    int lateSeen = 0;
    for (int64_t t : cycleTimes) {
        if (t <= lateUs) continue;
        ++lateSeen;
        longestSeen = std::max(longestSeen, t);
    }
    ASSERT_GE(lateSeen, Made);
    // Three lines for the run: the first in full and two summaries (8 s, then the quiet spell).
    EXPECT_LE(lines.size(), 3u);
    ASSERT_GE(lines.size(), 2u);
    int first = 0;
    ASSERT_EQ(std::sscanf(lines[0].c_str(), "RobotMaster::Loop - CycleTime exceeded: %d us", &first), 1) << lines[0];
    EXPECT_GT(first, lateUs);
    long long counted = 1;
    int longest = 0;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        unsigned long long count = 0;
        int worst = 0;
        ASSERT_EQ(std::sscanf(lines[i].c_str(), "RobotMaster::Loop - CycleTime exceeded %llu more times, longest: %d us",
                              &count, &worst),
                  2)
            << lines[i];
        counted += static_cast<long long>(count);
        longest = std::max(longest, worst);
    }
    // None of the late cycles made here is lost. A loaded machine may add late cycles of its own, and
    // those after the last summary wait for the next one; the thread's very first cycle no observer timed.
    EXPECT_GE(counted, Made);
    EXPECT_LE(counted, lateSeen + 1);
    EXPECT_GE(longest, periodUs * 3 / 2);
    EXPECT_LE(longest, longestSeen);
    // The statistics keep every cycle.
    EXPECT_GE(rm.GetMaxCycleTime(), static_cast<float>(periodUs * 3 / 2));
}
