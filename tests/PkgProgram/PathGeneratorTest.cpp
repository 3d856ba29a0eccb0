// The path generator's queue, planning thread and flags, and the joint
// generator's sampling of its planned path.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <thread>

#include "PkgProgram/CommandJoint.h"
#include "PkgProgram/CommandXml.h"
#include "PkgProgram/PathGenerator_01Joint.h"
#include "common/LogSingleton.h"
#include "datatypes/RobotState.h"
#include "support/LogCapture.h"

namespace {

std::shared_ptr<CommandJoint> Joint(const std::string& attributes) {
    auto c = std::make_shared<CommandJoint>();
    CommandXml::Read(*c, "<Joint " + attributes + " AbortCondition=\"false\"/>", true);
    return c;
}

bool WaitDone(PathGenerator& g) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (g.IsPathGenWorking() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return !g.IsPathGenWorking();
}

// A planner whose planning fails or blocks as a test asks.
class ScriptedGenerator : public PathGenerator {
public:
    ScriptedGenerator() : PathGenerator(2) {}
    void ComputePath() override {
        while (hold && !abortRequest) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (!failWith.empty()) throw std::runtime_error(failWith);
        SetAvailable(true);
    }
    int GetJointPosition(long, long, long, const DataTypes::RobotState&, double, float*, int&, long&) override {
        return -1;
    }
    void InitVelAcc(const float*, const float*, const float*, double, double, double, double, double,
                    double) override {}
    void Init(bool, int, bool) override {}
    void SetFirstCmd(std::shared_ptr<Command> cmd, DataTypes::RobotState*, int index, int successor) override {
        commandQueue[0] = cmd;
        commandIndexList[0] = index;
        successorIndexList[0] = successor;
        queuedCount = 1;
        SetPathUnavailable();
    }
    std::atomic<bool> hold{false};
    std::string failWith;
};

TEST(PathGeneratorBase, LookAheadLimitsTheQueue) {
    TestSupport::LogCapture log;
    ScriptedGenerator g;
    g.SetFirstCmd(Joint("a1=\"1\" velPercent=\"10\""), nullptr, 0, 1);
    g.SetNextCmd(Joint("a1=\"2\" velPercent=\"10\""), 1, 2);
    EXPECT_EQ(g.queuedCount, 2);
    g.SetNextCmd(Joint("a1=\"3\" velPercent=\"10\""), 2, 3);
    EXPECT_EQ(g.queuedCount, 2);
    EXPECT_TRUE(log.Has("PathGen: Could not set Position, look-ahead is limited to 2"));
}

TEST(PathGeneratorBase, FailedPlanningKeepsItsTextUntilTheNextQueue) {
    TestSupport::LogCapture log;
    ScriptedGenerator g;
    g.failWith = "broken";
    g.SetFirstCmd(nullptr, nullptr, 0, -2);
    g.ComputePathStartThread();
    ASSERT_TRUE(WaitDone(g));
    EXPECT_TRUE(g.IsPathGenerationFailed());
    EXPECT_FALSE(g.IsPathAvailable());
    EXPECT_EQ(g.GetGenerationError(), "broken");
    EXPECT_TRUE(log.Has("Exception during path generation: broken"));
    g.ResetError();
    EXPECT_FALSE(g.IsPathGenerationFailed());
    EXPECT_EQ(g.GetGenerationError(), "broken");
    g.SetFirstCmd(nullptr, nullptr, 0, -2);
    EXPECT_EQ(g.GetGenerationError(), "");
}

TEST(PathGeneratorBase, ASecondStartWhilePlanningIsRefusedAndAbortEndsIt) {
    TestSupport::LogCapture log;
    ScriptedGenerator g;
    g.hold = true;
    g.ComputePathStartThread();
    EXPECT_TRUE(g.IsPathGenWorking());
    g.ComputePathStartThread();
    EXPECT_TRUE(log.HasError("PathGen: Could not start compute thread, already running. This should never happen."));
    g.AbortAndWait();
    EXPECT_FALSE(g.IsPathGenWorking());
}

TEST(PathGeneratorBase, AccelerationRequestScalesEveryAxis) {
    AccHandler acc(300.0f, 2.0f);
    acc.percentage = 50.0f;
    const float* current = acc.RequestAcc(123.0f);
    for (int i = 0; i < 9; ++i) EXPECT_FLOAT_EQ(current[i], 150.0f);
    acc.ResetAcc();
    EXPECT_FLOAT_EQ(acc.current[4], 0.0f);
}

class JointGenerator : public ::testing::Test {
protected:
    // Plans the commands from all-zero joints and waits for the path.
    void Plan(bool optimize, std::vector<std::shared_ptr<CommandJoint>> commands) {
        g.Init(optimize, 50, true);
        DataTypes::RobotState start;
        g.SetFirstCmd(commands[0], &start, 0, commands.size() > 1 ? 1 : -2);
        for (std::size_t i = 1; i < commands.size(); ++i)
            g.SetNextCmd(commands[i], static_cast<int>(i), i + 1 < commands.size() ? static_cast<int>(i) + 1 : -2);
        // A planning start takes the optimise flag from the settings.
        LogSingleton::instance()->set_pathGeneratorFlagOptimize(optimize);
        g.ComputePathStartThread();
        ASSERT_TRUE(WaitDone(g));
        ASSERT_TRUE(g.IsPathAvailable());
    }
    void TearDown() override { LogSingleton::instance()->set_pathGeneratorFlagOptimize(true); }
    PathGenerator_01Joint g{3};
};

TEST_F(JointGenerator, SamplesByTimeAndEndsOneSlicingAfterTheLastSample) {
    auto c = Joint("a1=\"10\" velPercent=\"100\"");  // 45 deg/s: the start, 4 samples of 2.25 and the goal
    Plan(false, {c});
    const std::vector<JointSet>& path = g.SampledPath();
    ASSERT_EQ(path.size(), 6u);
    float joints[9] = {};
    int index = -1;
    long used = 0;
    EXPECT_EQ(g.GetJointPosition(0, 75000, 10, DataTypes::RobotState(), -1.0, joints, index, used), -1);
    EXPECT_NEAR(joints[0], 3.375f, 1e-4f);  // halfway between samples 1 and 2
    EXPECT_EQ(index, 0);
    EXPECT_EQ(used, 75000);
    EXPECT_EQ(g.GetJointPosition(0, 6 * 50000 - 1, 10, DataTypes::RobotState(), -1.0, joints, index, used), -1);
    EXPECT_FLOAT_EQ(joints[0], 10.0f);
    EXPECT_EQ(g.GetJointPosition(0, 6 * 50000, 10, DataTypes::RobotState(), -1.0, joints, index, used), -2);
}

TEST_F(JointGenerator, OptimisedPathStartsAndEndsAtRestWithinTheAccelerationLimit) {
    const float maxAcc[9] = {200, 200, 200, 200, 200, 200, 200, 200, 200};
    g.InitVelAcc(nullptr, maxAcc, nullptr, 0, 0, 0, 0, 0, 0);
    auto c = Joint("a1=\"40\" a2=\"-30\" velPercent=\"100\" acc=\"100\"");
    Plan(true, {c});
    const std::vector<JointSet>& path = g.SampledPath();
    ASSERT_GT(path.size(), 10u);
    EXPECT_FLOAT_EQ(path.back().joints[0], 40.0f);
    // Starts exactly where the robot stands: no jump in the first cycle.
    EXPECT_FLOAT_EQ(path.front().joints[0], 0.0f);
    EXPECT_FLOAT_EQ(path.front().joints[1], 0.0f);
    const double dt = 0.05;
    double v0 = 0.0;
    for (std::size_t k = 1; k < path.size(); ++k) {
        const double v = (path[k].joints[0] - path[k - 1].joints[0]) / dt;
        EXPECT_LE(std::fabs(v - v0) / dt, 200.0 * 1.25) << k;
        v0 = v;
    }
}

TEST_F(JointGenerator, CornerSmoothingIsClippedToTheSamplesAtHandAndZeroLeavesTheCorner) {
    auto a = Joint("a1=\"9\" velPercent=\"100\" smooth=\"0\"");
    auto b = Joint("a1=\"9\" a2=\"9\" velPercent=\"100\"");
    Plan(false, {a, b});
    bool corner = false;
    for (const JointSet& s : g.SampledPath()) corner = corner || (s.joints[0] == 9.0f && s.joints[1] == 0.0f);
    EXPECT_TRUE(corner);

    // Smoothing 50 samples on a corner with 4 samples each side: clipped, and the path stays whole.
    auto c = Joint("a1=\"9\" velPercent=\"100\" smooth=\"50\"");
    Plan(true, {c, b});
    const std::vector<JointSet>& path = g.SampledPath();
    EXPECT_FLOAT_EQ(path.back().joints[0], 9.0f);
    EXPECT_FLOAT_EQ(path.back().joints[1], 9.0f);
    for (const JointSet& s : path) EXPECT_FALSE(s.joints[0] == 9.0f && s.joints[1] == 0.0f);
}

}  // namespace
