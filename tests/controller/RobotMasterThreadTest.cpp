// The robot thread without a bus: publishing, the mailboxes of other
// threads, the timing of suspended cycles, stop and join.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "common/LogSingleton.h"
#include "controller/RobotMaster.h"
#include "controller/RobotMasterTestSupport.h"

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
