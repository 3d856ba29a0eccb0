// Commands built in memory: direct moves and single commands added for
// teach-in, saved and replayed.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "PkgProgram/CommandJoint.h"
#include "PkgProgram/CommandLinear.h"
#include "PkgProgram/CommandRelative.h"
#include "PkgProgram/MotionTestSupport.h"
#include "datatypes/Vector3.h"
#include "support/LogCapture.h"

namespace {

using MotionTest::Robot;

class DirectMove : public ::testing::Test {
protected:
    TestSupport::ScratchRoot root;
    TestSupport::LogCapture log;
};

template <class T>
T* Only(IPO& ipo, std::size_t at = 0) {
    auto lock = ipo.LockPrograms();
    if (ipo.programs.empty() || ipo.programs[0].commands.size() <= at) return nullptr;
    return dynamic_cast<T*>(ipo.programs[0].commands[at].get());
}

TEST_F(DirectMove, MovesReplaceTheProgramsAndCapTheirVelocity) {
    Robot robot(false, 3, IPO::IpoTypeDirect);
    const float joints[9] = {10, 20, 30, 0, 0, 0, 0, 0, 0};
    robot.ipo.MoveJoint(joints, 0.0005f);
    EXPECT_FALSE(robot.ipo.IsProgramLoaded());
    robot.ipo.Start();
    EXPECT_TRUE(log.Has("No Program loaded") || log.HasStartingWith("IPO:    Cannot start"));

    robot.ipo.MoveJoint(joints, 250.0f);
    ASSERT_NE(Only<CommandJoint>(robot.ipo), nullptr);
    EXPECT_FLOAT_EQ(Only<CommandJoint>(robot.ipo)->velocity, 100.0f);

    robot.ipo.MoveRelativeJoint(joints, 300.0f);
    ASSERT_NE(Only<CommandRelative>(robot.ipo), nullptr);
    EXPECT_FLOAT_EQ(Only<CommandRelative>(robot.ipo)->velocity, 100.0f);
    EXPECT_EQ(Only<CommandRelative>(robot.ipo)->motionKind, 0);

    // The Cartesian maximum of the robot (250 mm/s here) caps linear and relative moves.
    robot.ipo.MoveLinear(DataTypes::Vector3(1, 2, 3), DataTypes::Vector3(), DataTypes::Vector3(), 900.0f);
    ASSERT_NE(Only<CommandLinear>(robot.ipo), nullptr);
    EXPECT_FLOAT_EQ(Only<CommandLinear>(robot.ipo)->cartVelocity, 250.0f);
    robot.ipo.MoveRelativeTool(DataTypes::Vector3(0, 0, 5), DataTypes::Vector3(), DataTypes::Vector3(), 900.0f);
    ASSERT_NE(Only<CommandRelative>(robot.ipo), nullptr);
    EXPECT_FLOAT_EQ(Only<CommandRelative>(robot.ipo)->cartVelocity, 250.0f);
    EXPECT_EQ(Only<CommandRelative>(robot.ipo)->motionType, CommandRelative::CartTool);
    EXPECT_EQ(robot.ipo.programs.size(), 1u);
}

TEST_F(DirectMove, AJointMoveRunsOnceAndReportsItsEnd) {
    Robot robot(false, 3, IPO::IpoTypeDirect);
    const float deltas[9] = {5, -5, 0, 0, 0, 0, 0, 0, 0};
    robot.ipo.MoveRelativeJoint(deltas, 50.0f);
    robot.ipo.Start();
    ASSERT_TRUE(robot.RunToStop());
    EXPECT_FLOAT_EQ(robot.state.jointSetPoint[0], 5.0f);
    EXPECT_FLOAT_EQ(robot.state.jointSetPoint[1], -5.0f);
    // Not repeated: one relative step only.
    for (int i = 0; i < 50; ++i) robot.Cycle();
    EXPECT_FLOAT_EQ(robot.state.jointSetPoint[0], 5.0f);
    EXPECT_EQ(log.Count("IPO: MoveTo done"), 1);
}

TEST_F(DirectMove, AddedCommandsChainAndTheirSettings) {
    Robot robot;
    const float joints[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    robot.ipo.AddCommandJoint(5, 12, joints, 150.0f);  // count held to 9, velocity to 100
    robot.ipo.AddCommandLinear(4, 1, 2, 3, 0, 0, 0, 0, 0, 0, 50.0f);
    robot.ipo.AddCommandWait(7, 1000);
    robot.ipo.AddCommandJoint(5, 6, joints, 0.0f);  // no velocity: not added
    {
        auto lock = robot.ipo.LockPrograms();
        ASSERT_EQ(robot.ipo.programs.size(), 1u);
        EXPECT_EQ(robot.ipo.programs[0].name, "new.xml");
        const auto& c = robot.ipo.programs[0].commands;
        ASSERT_EQ(c.size(), 3u);
        EXPECT_EQ(c[0]->succ[0], 1);
        EXPECT_EQ(c[1]->succ[0], 2);
        EXPECT_EQ(c[2]->succ[0], -2);
        EXPECT_EQ(c[1]->pre, 0);
        EXPECT_EQ(c[2]->pre, 1);
    }
    const CommandJoint* joint = Only<CommandJoint>(robot.ipo, 0);
    ASSERT_NE(joint, nullptr);
    EXPECT_FLOAT_EQ(joint->velocity, 100.0f);
    EXPECT_FLOAT_EQ(joint->target.jointSetPoint[8], 9.0f);
    EXPECT_FLOAT_EQ(joint->acceleration, 40.0f);
    EXPECT_FLOAT_EQ(joint->smoothing, 20.0f);
    EXPECT_FLOAT_EQ(Only<CommandLinear>(robot.ipo, 1)->cartVelocity, 75.0f);
    EXPECT_TRUE(log.Has("IPO:     Added joint motion"));
    EXPECT_TRUE(log.Has("IPO:     Added Command Linear: 1.0 2.0 3.0 --  0.0 0.0 0.0  with 75.0 mm/s"));
    EXPECT_TRUE(log.Has("IPO:     Added CommandWait 1000 ms"));
    robot.ipo.TouchUpLastCommand();
    EXPECT_TRUE(log.Has("IPO:     TouchUp - not implemented yet"));
}

TEST_F(DirectMove, TaughtPointsAreSavedAndReplayed) {
    Robot teach(true);
    const float p1[9] = {0, 30, 30, 0, 30, 0, 0, 0, 0};
    const float p2[9] = {20, 40, 20, 10, 45, -15, 0, 0, 0};
    teach.ipo.AddCommandJoint(5, 6, p1, 50.0f);
    teach.ipo.AddCommandWait(7, 100);
    teach.ipo.AddCommandDIO(9, 3, true);
    teach.ipo.AddCommandJoint(5, 6, p2, 40.0f);
    // A line 60 mm along y from the first point, tool pointing down.
    std::unique_ptr<RobotKinematic> model = MotionTest::Kinematic();
    model->SetJoints(p1, false);
    DataTypes::RobotState pose;
    model->GetPosition(&pose);
    pose.UpdateABC();
    const DataTypes::Vector3 at = pose.pose.GetTranslation() + DataTypes::Vector3(0, 60, 0);
    teach.ipo.AddCommandLinear(4, at.x, at.y, at.z, pose.A, pose.B, pose.C, 0, 0, 0, 60.0f);
    std::filesystem::create_directories(root.File("Data/Programs"));
    ASSERT_TRUE(teach.ipo.WriteXMLFile(0, "taught.xml"));

    Robot replay(true);
    ASSERT_TRUE(replay.LoadAndStart("taught.xml"));
    ASSERT_TRUE(replay.CycleUntil([&]() { return replay.state.digitalOutputs[3]; }));
    for (int i = 0; i < 6; ++i) EXPECT_NEAR(replay.state.jointSetPoint[i], p1[i], 0.001f) << i;
    // The second point is a corner the taught smoothing rounds: it comes back as taught.
    const CommandJoint* second = Only<CommandJoint>(replay.ipo, 3);
    ASSERT_NE(second, nullptr);
    for (int i = 0; i < 6; ++i) EXPECT_NEAR(second->target.jointSetPoint[i], p2[i], 0.001f) << i;
    EXPECT_FLOAT_EQ(second->velocity, 40.0f);
    EXPECT_FLOAT_EQ(second->smoothing, 20.0f);
    ASSERT_TRUE(replay.RunToStop());
    model->SetJoints(replay.state.jointSetPoint, false);
    model->GetPosition(&pose);
    // Positions are written to 0.1 mm.
    EXPECT_LT((pose.pose.GetTranslation() - at).Magnitude(), 0.1f);
    EXPECT_FALSE(log.HasStartingWith("PathGen Error"));
}

}  // namespace
