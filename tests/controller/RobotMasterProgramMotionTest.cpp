// The robot master in this process against the simulated bus with the
// six-axis sample: the sample's start program moves the simulated arm through
// its joint and linear motions, and direct moves run only while no program does.

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "common/LogSingleton.h"
#include "common/PLCInterfaceSettings.h"
#include "controller/RobotMaster.h"
#include "controller/LiveRobotTest.h"
#include "controller/RobotMasterSimBus.h"
#include "controller/RobotMasterTestSupport.h"
#include "datatypes/RobotState.h"
#include "datatypes/Vector3.h"
#include "hardware/CANInterfaceSocketCAN.h"
#include "hardware/HardwareProtocol.h"
#include "kinematics/KinematicFactory.h"
#include "kinematics/RobotKinematic.h"
#include "support/LogCapture.h"

using SimBusTest::WaitFor;

namespace {

using Joints = std::array<float, 6>;

class RobotMasterProgramMotion : public SimBusTest::LiveRobotTest {
protected:
    void SetUp() override {
        LiveRobotTest::SetUp();
        ReferenceSixJointsWithoutDelays();
    }

    // Connected, enabled and referenced.
    void StartReferenced() {
        ASSERT_NO_FATAL_FAILURE(Start());
        ASSERT_NO_FATAL_FAILURE(ResetAndEnable());
        ASSERT_NO_FATAL_FAILURE(ReferenceAll());
    }

    static bool Near(const DataTypes::RobotState& s, const Joints& target, float tolerance) {
        for (std::size_t j = 0; j < 6; ++j)
            if (std::fabs(s.jointActual[j] - target[j]) > tolerance) return false;
        return true;
    }

    TestSupport::LogCapture log;
};

TEST_F(RobotMasterProgramMotion, StartProgramMovesTheArmThroughEveryTargetToTheEnd) {
    ASSERT_NO_FATAL_FAILURE(StartReferenced());
    ASSERT_EQ(rm->ipoMain.LoadProgramSynchronous("Demo.xml", true), 0);
    rm->ipoMain.replayMode = IPO::ReplaySingle;
    rm->StartProgram();
    ASSERT_TRUE(rm->ipoMain.IsReplayRunning());

    // The joint targets of the program and the tool positions of its lines.
    const std::vector<Joints> joints = {{0, 45, 45, 0, 90, 0}, {-30, 10, 50, 20, 40, -20}, {0, 0, 0, 0, 0, 0}};
    const std::vector<DataTypes::Vector3> lines = {DataTypes::Vector3(620, 80, 450), DataTypes::Vector3(660, -80, 380)};
    std::vector<bool> jointReached(joints.size(), false);
    std::vector<int> lineReached(lines.size(), 0);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (rm->ipoMain.IsReplayRunning() && std::chrono::steady_clock::now() < end) {
        const DataTypes::RobotState s = State();
        for (std::size_t t = 0; t < joints.size(); ++t) jointReached[t] = jointReached[t] || Near(s, joints[t], 0.01f);
        for (std::size_t t = 0; t < lines.size(); ++t) {
            const bool there = (s.pose.GetTranslation() - lines[t]).Magnitude() < 0.05f;
            // Counted once per arrival: the line is drawn three times.
            if (there && (lineReached[t] % 2) == 0) ++lineReached[t];
            if (!there && (lineReached[t] % 2) == 1) ++lineReached[t];
        }
        RobotMaster::wait(2);
    }
    ASSERT_FALSE(rm->ipoMain.IsReplayRunning()) << "the program did not end";
    // Logged just after the run flag drops.
    EXPECT_TRUE(WaitFor([&]() { return log.Has("IPO: Program done"); })) << [&]() {
        // What ended the run otherwise.
        std::string lines;
        for (const std::string& l : log.StartingWith("IPO")) lines += l + "\n";
        for (const std::string& l : log.StartingWith("RobotMaster")) lines += l + "\n";
        return lines;
    }();
    EXPECT_FALSE(log.HasStartingWith("PathGen Error"));
    // The last target is held: wait until the joints have settled on it.
    ASSERT_TRUE(WaitFor([&]() { return Near(State(), joints.back(), 0.01f); }));
    jointReached.back() = true;
    for (std::size_t t = 0; t < joints.size(); ++t) EXPECT_TRUE(jointReached[t]) << "joint target " << t;
    for (std::size_t t = 0; t < lines.size(); ++t) EXPECT_GE((lineReached[t] + 1) / 2, 3) << "line end " << t;
}

TEST_F(RobotMasterProgramMotion, DirectMovesRunWhenNoProgramRunsAndAreDiscardedWhileOneDoes) {
    ASSERT_NO_FATAL_FAILURE(StartReferenced());
    const float target[9] = {10, 45, 45, 5, 80, -5, 0, 0, 0};
    rm->ipoDirect.MoveJoint(target, 80.0f);
    rm->ipoDirect.Start();
    ASSERT_TRUE(WaitFor([&]() { return Near(State(), {10, 45, 45, 5, 80, -5}, 0.01f); }, std::chrono::seconds(30)));
    EXPECT_TRUE(WaitFor([&]() { return log.Has("IPO: MoveTo done"); }));

    // Relative moves: by joints, then along the base frame.
    const float deltas[9] = {-5, 0, 0, 0, 0, 5, 0, 0, 0};
    rm->ipoDirect.MoveRelativeJoint(deltas, 80.0f);
    rm->ipoDirect.Start();
    ASSERT_TRUE(WaitFor([&]() { return Near(State(), {5, 45, 45, 5, 80, 0}, 0.01f); }, std::chrono::seconds(30)));
    ASSERT_TRUE(WaitFor([&]() { return !rm->ipoDirect.IsReplayRunning(); }));
    const DataTypes::Vector3 before = State().pose.GetTranslation();
    rm->ipoDirect.MoveRelativeBase(DataTypes::Vector3(0, 0, 30), DataTypes::Vector3(), DataTypes::Vector3(), 80.0f);
    rm->ipoDirect.Start();
    ASSERT_TRUE(WaitFor(
        [&]() { return (State().pose.GetTranslation() - (before + DataTypes::Vector3(0, 0, 30))).Magnitude() < 0.05f; },
        std::chrono::seconds(30)));
    ASSERT_TRUE(WaitFor([&]() { return !rm->ipoDirect.IsReplayRunning(); }));

    // A linear move to a point 40 mm along y, orientation kept.
    const DataTypes::RobotState here = State();
    const DataTypes::Vector3 goal = here.pose.GetTranslation() + DataTypes::Vector3(0, 40, 0);
    float a = 0, b = 0, c = 0;
    here.pose.GetABCDeg(&a, &b, &c);
    rm->ipoDirect.MoveLinear(goal, DataTypes::Vector3(a, b, c), DataTypes::Vector3(), 100.0f);
    rm->ipoDirect.Start();
    ASSERT_TRUE(WaitFor([&]() { return (State().pose.GetTranslation() - goal).Magnitude() < 0.05f; },
                        std::chrono::seconds(30)));
    ASSERT_TRUE(WaitFor([&]() { return !rm->ipoDirect.IsReplayRunning(); }));

    // While a program runs, a direct move is dropped and the arm follows the program only.
    ASSERT_EQ(rm->ipoMain.LoadProgramSynchronous("Demo.xml", true), 0);
    rm->ipoMain.replayMode = IPO::ReplaySingle;
    rm->StartProgram();
    ASSERT_TRUE(rm->ipoMain.IsReplayRunning());
    const float away[9] = {-60, 0, 0, 0, 0, 0, 0, 0, 0};
    rm->ipoDirect.MoveJoint(away, 100.0f);
    rm->ipoDirect.Start();
    EXPECT_TRUE(WaitFor([&]() { return !rm->ipoDirect.IsProgramLoaded(); }));
    EXPECT_FALSE(rm->ipoDirect.IsReplayRunning());
    rm->StopProgram(IPO::USER);
    EXPECT_GT(State().jointSetPoint[0], -31.0f);
}

// With the Cartesian path generator the arm follows blended lines and arcs to the end of the program.
TEST_F(RobotMasterProgramMotion, CartesianGeneratorRunsBlendedLinesAndArcsToTheLastTarget) {
    sample.EditRobot([](tinyxml2::XMLElement* robot) {
        robot->FirstChildElement("PathGeneration")->SetAttribute("GeneratorType", "02Linear");
    });
    TestSupport::WriteFile(
        sample.File("Data/Programs/Blend.xml"),
        "<?xml version=\"1.0\"?>\n<Program>\n"
        "<Joint Nr=\"1\" a1=\"0\" a2=\"17.827632\" a3=\"100.7325\" a4=\"0\" a5=\"61.445\" a6=\"0\" velPercent=\"80\" acc=\"80\" "
        "smooth=\"0\" AbortCondition=\"false\"/>\n"
        "<Linear Nr=\"2\" x=\"540\" y=\"40\" z=\"300\" a=\"180\" b=\"0\" c=\"180\" vel=\"150\" acc=\"80\" smooth=\"40\" "
        "AbortCondition=\"false\"/>\n"
        "<Circular Nr=\"3\" AbortCondition=\"false\" vel=\"120\" acc=\"80\" smooth=\"30\" useAngle=\"false\" angle=\"0\" "
        "Source=\"numbers\" p1x=\"570\" p1y=\"10\" p1z=\"300\" p2x=\"540\" p2y=\"-20\" p2z=\"300\" a=\"180\" b=\"0\" "
        "c=\"180\" e1=\"0\" e2=\"0\" e3=\"0\" VariableHelperName=\"\" VariableEndName=\"\"/>\n"
        "<Linear Nr=\"4\" x=\"470\" y=\"-40\" z=\"320\" a=\"170\" b=\"5\" c=\"180\" vel=\"150\" acc=\"80\" smooth=\"30\" "
        "AbortCondition=\"false\"/>\n"
        "<Linear Nr=\"5\" x=\"479.9869\" y=\"0\" z=\"299.9355\" a=\"180\" b=\"-0.0051\" c=\"180\" vel=\"150\" "
        "acc=\"80\" smooth=\"0\" AbortCondition=\"false\"/>\n"
        "</Program>\n");
    ASSERT_NO_FATAL_FAILURE(StartReferenced());
    ASSERT_EQ(rm->ipoMain.LoadProgramSynchronous("Blend.xml", true), 0);
    rm->ipoMain.replayMode = IPO::ReplaySingle;
    rm->StartProgram();
    ASSERT_TRUE(rm->ipoMain.IsReplayRunning());
    ASSERT_TRUE(WaitFor([&]() { return !rm->ipoMain.IsReplayRunning(); }, std::chrono::seconds(120)));
    EXPECT_TRUE(WaitFor([&]() { return log.Has("IPO: Program done"); }));
    EXPECT_FALSE(log.HasStartingWith("PathGen Error"));

    // The joints of the last target, from the joints the program ended with. The target is the
    // pose of the first joint move, whose joints lie a quarter of the modules' position step
    // (1/gear scale degrees) above a step, so that the reported positions can match them.
    // A model of its own: the robot thread works on the robot master's.
    std::unique_ptr<RobotKinematic> model = KinematicFactory::Create("StandardSixAxisPlus");  // the sample's arm
    ASSERT_TRUE(model);
    model->Init("Sample", "StandardSixAxisPlus", sample.RobotFile(), -1);
    DataTypes::Matrix44 goal;
    goal.SetRotationABCDeg2(180, -0.0051, 180);
    goal.SetTranslation(479.9869f, 0, 299.9355f);
    float expected[9] = {};
    const DataTypes::RobotState end = State();
    for (int j = 0; j < 9; ++j) expected[j] = end.jointSetPoint[j];
    model->SetJoints(expected, false);
    model->SetPosition(goal, expected);
    model->GetJoints(expected);
    ASSERT_TRUE(WaitFor([&]() {
        const DataTypes::RobotState s = State();
        for (int j = 0; j < 6; ++j)
            if (std::fabs(s.jointActual[j] - expected[j]) > 0.01f) return false;
        return true;
    })) << [&]() {
        const DataTypes::RobotState s = State();
        std::string text;
        for (int j = 0; j < 6; ++j)
            text += "joint " + std::to_string(j) + ": actual " + std::to_string(s.jointActual[j]) + " set-point " +
                    std::to_string(s.jointSetPoint[j]) + " target " + std::to_string(expected[j]) + "\n";
        return text;
    }();
}

}  // namespace
