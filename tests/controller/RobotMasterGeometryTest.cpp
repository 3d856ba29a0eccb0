// The robot master with the geometries beyond the six-axis arm: each robot
// type a robot file can name starts, and an unreadable robot file leaves the
// four-axis arm model in place.

#include <gtest/gtest.h>

#include <string>
#include <tinyxml2.h>

#include "common/LogSingleton.h"
#include "controller/RobotMaster.h"
#include "controller/RobotMasterTestSupport.h"
#include "kinematics/RobotKinematic.h"
#include "kinematics/RobotKinematicDravo4.h"

using RobotMasterTest::Child;
using RobotMasterTest::RobotFile;
using tinyxml2::XMLElement;

namespace {

class RobotMasterGeometryTest : public ::testing::Test {
protected:
    void SetUp() override { RobotMasterTest::ResetLogState(); }
    void TearDown() override { RobotMasterTest::ResetLogState(); }
};

}  // namespace

TEST_F(RobotMasterGeometryTest, UnreadableRobotFileLeavesTheFourAxisArmModel) {
    RobotFile file;
    RobotMaster rm;
    rm.Init("Arm", "Type", file.Relative() + ".missing");
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeSeriousFail);
    ASSERT_NE(rm.GetKinematic(), nullptr);
    EXPECT_NE(dynamic_cast<RobotKinematicDravo4*>(rm.GetKinematic()), nullptr);
    EXPECT_EQ(rm.GetKinematic()->kinematicTypeName, "RobotKinematicDravo4");
}

TEST_F(RobotMasterGeometryTest, EveryRobotTypeStarts) {
    struct Case {
        const char* type;
        const char* className;
    };
    const Case cases[] = {
        {"VQT3AxisPlane", "RobotKinematic3AxisPlane"},
        {"VQTDravo4", "RobotKinematicDravo4"},
        {"VQTDravo5", "RobotKinematicDravo5"},
        {"TuskoKid", "RobotKinematicTuskoKid"},
        {"Cartesian", "RobotKinematicCartesian3Axis"},
        {"Cartesian1Axis", "RobotKinematicCartesian1Axis"},
        {"Cartesian2AxisLine", "RobotKinematicCartesian2AxisLine"},
        {"Cartesian2AxisPlane", "RobotKinematicCartesian2AxisPlane"},
        {"SeparateJoints", "RobotKinematicSeparateJointsLinear"},
        {"SeparateJointsRotational", "RobotKinematicSeparateJointsRotational"},
        {"VQTMardux", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        RobotMasterTest::ResetLogState();
        RobotFile file([&](XMLElement* robot) {
            XMLElement* k = Child(robot, "Kinematic");
            k->SetAttribute("Type", c.type);
            // The line gantry needs a second direction apart from its fixed Y column.
            if (std::string(c.type) == "Cartesian2AxisLine") k->SetAttribute("dirA2", "0 0 1");
        });
        RobotMaster rm;
        rm.Init("Arm", "Type", file.Relative());
        EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeNormal)
            << LogSingleton::instance()->get_seriousFailReason();
        ASSERT_NE(rm.GetKinematic(), nullptr);
        EXPECT_EQ(rm.GetKinematic()->kinematicTypeName, c.className);
        ASSERT_NE(rm.GetHardware(), nullptr);
        rm.FinishInit();
        rm.StopMainLoop();
        EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeNormal);
    }
}
