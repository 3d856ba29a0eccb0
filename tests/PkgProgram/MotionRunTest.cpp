// Programs of joint, linear and relative motions planned by the joint path
// generator and sampled cycle by cycle.

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "PkgProgram/MotionTestSupport.h"
#include "PkgProgram/PathGenerator.h"
#include "support/LogCapture.h"

namespace {

using IPOTest::Events;
using IPOTest::WriteProgram;
using MotionTest::Joints;
using MotionTest::Robot;

std::string JointLine(int nr, const float* a, float vel, float smooth, const std::string& abort = "false") {
    char text[512];
    std::snprintf(text, sizeof(text),
                  "<Joint Nr=\"%d\" a1=\"%g\" a2=\"%g\" a3=\"%g\" a4=\"%g\" a5=\"%g\" a6=\"%g\" velPercent=\"%g\" "
                  "acc=\"50\" smooth=\"%g\" AbortCondition=\"%s\"/>\n",
                  nr, a[0], a[1], a[2], a[3], a[4], a[5], vel, smooth, abort.c_str());
    return text;
}

void ExpectJointsNear(const float* actual, const float* expected, int count, float tolerance) {
    for (int i = 0; i < count; ++i) EXPECT_NEAR(actual[i], expected[i], tolerance) << "joint " << i + 1;
}

class MotionRun : public ::testing::Test {
protected:
    TestSupport::ScratchRoot root;
    TestSupport::LogCapture log;
};

TEST_F(MotionRun, JointProgramReachesEveryTargetThatEndsWithoutSmoothing) {
    const float a[6] = {30, -20, 40, 10, -30, 60};
    const float b[6] = {-10, 15, 5, -20, 25, -40};
    const float c[6] = {0, 0, 0, 0, 0, 0};
    WriteProgram(root, "joints.xml",
                 JointLine(1, a, 80, 0) + "<Output Nr=\"2\" Channel=\"DOut1\" State=\"true\"/>\n" +
                     JointLine(3, b, 50, 0) + JointLine(4, c, 100, 0));
    Robot robot;
    ASSERT_TRUE(robot.LoadAndStart("joints.xml"));
    ASSERT_TRUE(robot.CycleUntil([&]() { return robot.state.digitalOutputs[0]; }));
    ExpectJointsNear(robot.state.jointSetPoint, a, 6, 0.001f);
    ASSERT_TRUE(robot.CycleUntil([&]() { return robot.ipo.currentCommand == 3; }));
    ExpectJointsNear(robot.state.jointSetPoint, b, 6, 0.001f);
    ASSERT_TRUE(robot.RunToStop());
    ExpectJointsNear(robot.state.jointSetPoint, c, 6, 0.001f);
    EXPECT_TRUE(log.Has("IPO: Program done"));
}

// Corner smoothing and the limiting passes: sampled set-points stay inside the
// joints' velocity and, measured over the slicing period, acceleration limits.
TEST_F(MotionRun, SmoothedCornersStayInsideVelocityAndAccelerationLimits) {
    const float p1[6] = {60, 30, -40, 0, 0, 0};
    const float p2[6] = {-30, 60, 20, 30, 0, 0};
    const float p3[6] = {20, -20, 50, 0, 40, 0};
    const float home[6] = {0, 0, 0, 0, 0, 0};
    WriteProgram(root, "corners.xml",
                 JointLine(1, p1, 100, 10) + JointLine(2, p2, 100, 10) + JointLine(3, p3, 100, 10) +
                     JointLine(4, home, 100, 0));
    Robot robot;
    ASSERT_TRUE(robot.LoadAndStart("corners.xml"));
    ASSERT_TRUE(robot.RunToStop());
    ExpectJointsNear(robot.state.jointSetPoint, home, 6, 0.001f);

    const std::vector<Joints>& t = robot.trace;
    ASSERT_GT(t.size(), 100u);
    const double dt = MotionTest::CycleMs / 1000.0;
    double peakVel = 0.0;
    for (std::size_t k = 1; k < t.size(); ++k) {
        for (std::size_t i = 0; i < 6; ++i) {
            const double v = std::fabs(t[k][i] - t[k - 1][i]) / dt;
            peakVel = std::max(peakVel, v);
            EXPECT_LE(v, MotionTest::MaxVel[i] * 1.01) << "joint " << i + 1 << " at " << k;
        }
    }
    // Acceleration of the three limited axes over one slicing period (50 ms = 5 cycles);
    // the commands ask for 50 % of 500 deg/s^2.
    const std::size_t w = 5;
    const double span = w * dt;
    double peakAcc = 0.0;
    for (std::size_t k = 2 * w; k < t.size(); ++k) {
        for (std::size_t i = 0; i < 3; ++i) {
            const double v1 = (t[k][i] - t[k - w][i]) / span;
            const double v0 = (t[k - w][i] - t[k - 2 * w][i]) / span;
            const double acc = std::fabs(v1 - v0) / span;
            peakAcc = std::max(peakAcc, acc);
            EXPECT_LE(acc, 250.0 * 1.25) << "joint " << i + 1 << " at " << k;
        }
    }
    // The motion did use the room it had.
    EXPECT_GT(peakVel, 60.0);
    EXPECT_GT(peakAcc, 100.0);
}

TEST_F(MotionRun, SmoothingCutsTheCornerButTheLastTargetIsExact) {
    const float p1[6] = {40, 0, 0, 0, 0, 0};
    const float p2[6] = {40, 40, 0, 0, 0, 0};
    WriteProgram(root, "corner.xml", JointLine(1, p1, 100, 10) + JointLine(2, p2, 100, 0));
    Robot robot;
    ASSERT_TRUE(robot.LoadAndStart("corner.xml"));
    ASSERT_TRUE(robot.RunToStop());
    ExpectJointsNear(robot.state.jointSetPoint, p2, 6, 0.001f);
    // Cut: no set-point passes through the corner (40, 0).
    float closest = 1e9f;
    for (const Joints& j : robot.trace) closest = std::min(closest, std::hypot(j[0] - 40.0f, j[1] - 0.0f));
    EXPECT_GT(closest, 2.0f);
}

TEST_F(MotionRun, AbortConditionEndsTheMotionEarly) {
    const float far[6] = {90, 0, 0, 0, 0, 0};
    WriteProgram(root, "abort.xml",
                 "<Store Nr=\"1\" Type=\"number\" Name=\"halt\" Value=\"0\"/>\n" +
                     JointLine(2, far, 20, 0, "halt = 1") + "<Output Nr=\"3\" Channel=\"DOut2\" State=\"true\"/>\n");
    Robot robot;
    ASSERT_TRUE(robot.LoadAndStart("abort.xml"));
    ASSERT_TRUE(robot.CycleUntil([&]() { return robot.state.jointSetPoint[0] > 10.0f; }));
    robot.memory.SetVariableSingle("halt", 1.0, false);
    ASSERT_TRUE(robot.RunToStop());
    EXPECT_TRUE(robot.state.digitalOutputs[1]);
    EXPECT_LT(robot.state.jointSetPoint[0], 30.0f);
    EXPECT_GT(robot.state.jointSetPoint[0], 10.0f);
}

TEST_F(MotionRun, PlanningErrorStopsTheProgramWithEvent13AndTheGeneratorText) {
    WriteProgram(root, "missing.xml",
                 "<Joint Nr=\"1\" Source=\"variable\" VariableName=\"Nowhere\" velPercent=\"50\" "
                 "AbortCondition=\"false\"/>\n");
    Robot robot;
    ASSERT_TRUE(robot.LoadAndStart("missing.xml"));
    Events::Take();
    ASSERT_TRUE(robot.RunToStop(std::chrono::seconds(20)));
    const std::string text = "PG: Error in ComputePath (1): Command: Could not find variable \"nowhere\"!";
    bool stopEvent = false;
    for (const IPOTest::Event& e : Events::Take()) {
        if (e.type == HXPEventError && e.text == text) stopEvent = true;
    }
    EXPECT_TRUE(stopEvent);
    EXPECT_TRUE(log.HasError(text));
    EXPECT_EQ(robot.ipo.lastStopReason.load(), IPO::PATHGEN_ERROR);
    EXPECT_EQ(robot.ipo.currentCommand.load(), -1);
}

TEST_F(MotionRun, PauseAndResumeMidMotionContinueTheSamePath) {
    const float p1[6] = {50, -30, 20, 0, 0, 0};
    const float p2[6] = {-20, 10, 40, 0, 0, 0};
    WriteProgram(root, "pause.xml", JointLine(1, p1, 60, 10) + JointLine(2, p2, 60, 0));
    Robot reference;
    ASSERT_TRUE(reference.LoadAndStart("pause.xml"));
    ASSERT_TRUE(reference.RunToStop());

    Robot paused;
    ASSERT_TRUE(paused.LoadAndStart("pause.xml"));
    ASSERT_TRUE(paused.CycleUntil([&]() { return paused.trace.size() == 60; }));
    paused.ipo.Pause(IPO::USER);
    const Joints held = paused.Current();
    for (int i = 0; i < 30; ++i) paused.Cycle();
    EXPECT_EQ(paused.Current(), held);
    paused.ipo.Start();
    ASSERT_TRUE(paused.RunToStop());

    // Same samples in the same order; the cycles while paused added none.
    const std::vector<Joints>& got = paused.trace;
    const std::vector<Joints>& want = reference.trace;
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t k = 0; k < got.size(); ++k) {
        for (std::size_t i = 0; i < 6; ++i) ASSERT_NEAR(got[k][i], want[k][i], 1e-4f) << k;
    }
}

TEST_F(MotionRun, OverrideScalesThePathTime) {
    const float p[6] = {30, 0, 0, 0, 0, 0};
    WriteProgram(root, "override.xml", JointLine(1, p, 100, 0));
    auto cycles = [&](float override) {
        Robot robot;
        EXPECT_TRUE(robot.LoadAndStart("override.xml"));
        int n = 0;
        while (robot.ipo.IsReplayRunning() && n < 100000) {
            robot.Cycle(override);
            ++n;
        }
        ExpectJointsNear(robot.state.jointSetPoint, p, 6, 0.001f);
        return robot.trace.size();
    };
    const std::size_t full = cycles(100.0f);
    const std::size_t half = cycles(50.0f);
    EXPECT_NEAR(static_cast<double>(half), 2.0 * static_cast<double>(full), 4.0);
}

TEST_F(MotionRun, JointOffsetsShiftTheTargets) {
    const float p[6] = {10, 20, 30, 0, 0, 0};
    WriteProgram(root, "offset.xml", JointLine(1, p, 100, 0));
    Robot robot;
    float offsets[15] = {5, -5, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    robot.ipo.OffsetSet(offsets);
    ASSERT_TRUE(robot.LoadAndStart("offset.xml"));
    ASSERT_TRUE(robot.RunToStop());
    const float expected[6] = {15, 15, 31, 0, 0, 0};
    ExpectJointsNear(robot.state.jointSetPoint, expected, 6, 0.001f);
}

TEST_F(MotionRun, LinearMotionKeepsTheToolOnAStraightLine) {
    Robot robot(true);
    // Start from a pose away from singularities, then move 100 mm along x and y.
    const float start[9] = {0, 30, 30, 0, 30, 0, 0, 0, 0};
    for (int i = 0; i < 9; ++i) robot.state.jointSetPoint[i] = start[i];
    std::unique_ptr<RobotKinematic> model = MotionTest::Kinematic();
    model->SetJoints(start, false);
    DataTypes::RobotState pose;
    model->GetPosition(&pose);
    pose.UpdateABC();
    const DataTypes::Vector3 from = pose.pose.GetTranslation();
    const DataTypes::Vector3 to = from + DataTypes::Vector3(100.0f, 50.0f, -30.0f);
    char line[512];
    std::snprintf(line, sizeof(line),
                  "<Linear Nr=\"1\" x=\"%f\" y=\"%f\" z=\"%f\" a=\"%f\" b=\"%f\" c=\"%f\" vel=\"100\" "
                  "AbortCondition=\"false\"/>\n",
                  to.x, to.y, to.z, pose.A, pose.B, pose.C);
    WriteProgram(root, "line.xml", line);
    ASSERT_TRUE(robot.LoadAndStart("line.xml"));
    ASSERT_TRUE(robot.RunToStop());
    ASSERT_GT(robot.trace.size(), 20u);
    const DataTypes::Vector3 dir = (to - from).Normalized();
    for (const Joints& j : robot.trace) {
        model->SetJoints(j.data(), false);
        model->GetPosition(&pose);
        const DataTypes::Vector3 off = pose.pose.GetTranslation() - from;
        const DataTypes::Vector3 across = off - dir * DataTypes::Vector3::Dot(off, dir);
        EXPECT_LT(across.Magnitude(), 0.5f);
    }
    model->SetJoints(robot.state.jointSetPoint, false);
    model->GetPosition(&pose);
    EXPECT_LT((pose.pose.GetTranslation() - to).Magnitude(), 0.05f);
}

TEST_F(MotionRun, RelativeMotionsInJointBaseAndToolFrames) {
    Robot robot(true);
    const float start[9] = {10, 30, 30, 0, 30, 0, 0, 0, 0};
    for (int i = 0; i < 9; ++i) robot.state.jointSetPoint[i] = start[i];
    WriteProgram(root, "relative.xml",
                 "<Relative Nr=\"1\" MoType=\"joint\" a1=\"5\" a3=\"-10\" velPercent=\"50\" smooth=\"0\" AbortCondition=\"false\"/>\n"
                 "<Relative Nr=\"2\" MoType=\"CARTBASE\" z=\"40\" vel=\"80\" smooth=\"0\" AbortCondition=\"false\"/>\n"
                 "<Relative Nr=\"3\" MoType=\"tool\" z=\"25\" vel=\"80\" smooth=\"0\" AbortCondition=\"false\"/>\n");
    std::unique_ptr<RobotKinematic> model = MotionTest::Kinematic();
    auto poseOf = [&](const float* joints) {
        model->SetJoints(joints, false);
        DataTypes::RobotState s;
        model->GetPosition(&s);
        return s;
    };
    ASSERT_TRUE(robot.LoadAndStart("relative.xml"));
    ASSERT_TRUE(robot.CycleUntil([&]() { return robot.ipo.currentCommand == 1; }));
    EXPECT_NEAR(robot.state.jointSetPoint[0], 15.0f, 0.001f);
    EXPECT_NEAR(robot.state.jointSetPoint[2], 20.0f, 0.001f);
    const DataTypes::RobotState a = poseOf(robot.state.jointSetPoint);
    ASSERT_TRUE(robot.CycleUntil([&]() { return robot.ipo.currentCommand == 2; }));
    const DataTypes::RobotState b = poseOf(robot.state.jointSetPoint);
    const DataTypes::Vector3 baseMove = b.pose.GetTranslation() - a.pose.GetTranslation();
    EXPECT_NEAR(baseMove.x, 0.0f, 0.05f);
    EXPECT_NEAR(baseMove.y, 0.0f, 0.05f);
    EXPECT_NEAR(baseMove.z, 40.0f, 0.05f);
    ASSERT_TRUE(robot.RunToStop());
    const DataTypes::RobotState c = poseOf(robot.state.jointSetPoint);
    const DataTypes::Vector3 toolMove = c.pose.GetTranslation() - b.pose.GetTranslation();
    const DataTypes::Vector3 toolZ = b.pose.GetColumnVector(2);
    EXPECT_NEAR(DataTypes::Vector3::Dot(toolMove, toolZ), 25.0f, 0.05f);
    EXPECT_NEAR(toolMove.Magnitude(), 25.0f, 0.05f);
    // Orientation unchanged.
    EXPECT_TRUE(c.pose.GetColumnVector(2).x - toolZ.x < 1e-3f);
}

}  // namespace
