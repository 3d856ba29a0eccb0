// Robot operations that need no bus: the jog motion type, zero-torque mode,
// and the operations that must do nothing in their refused states.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/LogSingleton.h"
#include "controller/RobotMaster.h"
#include "controller/RobotMasterTestSupport.h"
#include "support/LogCapture.h"

namespace {

class RobotMasterMotion : public ::testing::Test {
protected:
    void SetUp() override { RobotMasterTest::ResetLogState(); }
    void TearDown() override { RobotMasterTest::ResetLogState(); }
    TestSupport::LogCapture log;
};

TEST_F(RobotMasterMotion, ToggleGoesRoundTheFourMotionTypesAndLeavesTheCellStateMachineAlone) {
    RobotMaster rm;
    const std::vector<std::pair<MotionType, const char*>> steps = {
        {MotionTypeRobotCartBase, "RobotMaster:  Changing motion mode to ROBOT-CART-BASE"},
        {MotionTypeRobotCartTool, "RobotMaster:  Changing motion mode to ROBOT-CART-TOOL"},
        {MotionTypePlatform, "RobotMaster:  Changing motion mode to PLATFORM-CART"},
        {MotionTypeRobotJoint, "RobotMaster:  Changing motion mode to ROBOT-JOINT"},
    };
    for (const auto& step : steps) {
        log.Clear();
        rm.ToggleMotionMode();
        EXPECT_EQ(rm.GetMotionType(), step.first);
        EXPECT_EQ(log.Lines(), std::vector<std::string>{step.second});
    }
    rm.SetMotionMode(MotionTypeFSM);
    log.Clear();
    rm.ToggleMotionMode();
    EXPECT_EQ(rm.GetMotionType(), MotionTypeFSM);
    EXPECT_TRUE(log.Lines().empty());
}

TEST_F(RobotMasterMotion, SetMotionModeStoresAndNamesEachType) {
    RobotMaster rm;
    const std::vector<std::pair<MotionType, const char*>> cases = {
        {MotionTypeRobotCartTool, "RobotMaster:  Changing motion mode to ROBOT-CART-TOOL"},
        {MotionTypeRobotCartBase, "RobotMaster:  Changing motion mode to ROBOT-CART-BASE"},
        {MotionTypePlatform, "RobotMaster:  Changing motion mode to PLATFORM"},
        {MotionTypeFSM, "RobotMaster:  Changing motion mode to FSM"},
        {MotionTypeRobotJoint, "RobotMaster:  Changing motion mode to ROBOT-JOINT"},
    };
    for (const auto& c : cases) {
        log.Clear();
        rm.SetMotionMode(c.first);
        EXPECT_EQ(rm.GetMotionType(), c.first);
        EXPECT_EQ(log.Lines(), std::vector<std::string>{c.second});
    }
    log.Clear();
    rm.SetMotionMode(static_cast<MotionType>(7));
    EXPECT_EQ(rm.GetMotionType(), MotionTypeRobotJoint) << "not a motion type: unchanged";
    EXPECT_TRUE(log.Lines().empty());
}

TEST_F(RobotMasterMotion, ZeroTorqueSwitchesOnlyWhenAllowedAndOnlyOnAChange) {
    {
        RobotMasterTest::RobotFile file;
        RobotMaster rm;
        rm.Init("Arm", "KorvellaSix", file.Relative());
        ASSERT_FALSE(rm.IsZeroTorqueAllowed());
        rm.SetZeroTorqueMode(true);
        EXPECT_TRUE(log.Has("RobotMaster: Tried to switch zero torque mode but is not allowed for any joint"));
        EXPECT_FALSE(rm.IsZeroTorqueEnabled());
    }
    RobotMasterTest::RobotFile file([](tinyxml2::XMLElement* robot) {
        RobotMasterTest::Child(robot, "ZeroTorque")->SetAttribute("A2", "true");
    });
    RobotMaster rm;
    rm.Init("Arm", "KorvellaSix", file.Relative());
    ASSERT_TRUE(rm.IsZeroTorqueAllowed(1));
    log.Clear();
    rm.SetZeroTorqueMode(false);
    EXPECT_TRUE(log.Lines().empty()) << "already off";
    rm.SetZeroTorqueMode(true);
    rm.SetZeroTorqueMode(true);
    EXPECT_EQ(log.Count("RobotMaster: Enabling zero torque mode"), 1);
    EXPECT_TRUE(rm.IsZeroTorqueEnabled());
    rm.SetZeroTorqueMode(false);
    EXPECT_EQ(log.Count("RobotMaster: Disabling zero torque mode"), 1);
    EXPECT_FALSE(rm.IsZeroTorqueEnabled());
}

TEST_F(RobotMasterMotion, RefusedStatesChangeNothing) {
    RobotMasterTest::RobotFile file;
    RobotMaster rm;
    rm.Init("Arm", "KorvellaSix", file.Relative());
    // The driver is not connected: its motors are off.
    rm.ReferenceAllJoints();
    EXPECT_FALSE(rm.IsReferenceSequenceActive());
    EXPECT_FALSE(log.Has("Resetting referencing state for all axes"));

    rm.SetVelocities(10.0f, 20.0f, 30.0f);
    float v7 = -1, v8 = -1, v9 = -1;
    rm.GetVelocities(v7, v8, v9);
    EXPECT_EQ(v7, 0.0f);
    EXPECT_EQ(v8, 0.0f);
    EXPECT_EQ(v9, 0.0f);

    // Joints that are neither robot joints nor external axes are not referenced.
    log.Clear();
    rm.ReferenceJointAlt(-1);
    rm.ReferenceJointAlt(9);
    EXPECT_TRUE(log.Lines().empty());
}

}  // namespace
