#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <tinyxml2.h>
#include <vector>

#include "PkgProgram/MemoryPosition.h"
#include "PkgProgram/ProgramMemory.h"
#include "support/LogCapture.h"
#include "datatypes/RobotState.h"
#include "kinematics/KinematicFactory.h"
#include "kinematics/RobotKinematic.h"
#include "support/TestSupport.h"

namespace {

using Programs::MemoryPosition;
using Programs::ProgramMemory;

const char* const kRobotFile = "prog-sixaxis-robot.xml";

// The kinematic object for the robot type the configuration file names.
std::unique_ptr<RobotKinematic> KinematicFromRobotFile(const std::string& path) {
    tinyxml2::XMLDocument doc;
    if (doc.LoadFile(path.c_str()) != tinyxml2::XML_SUCCESS) return nullptr;
    const tinyxml2::XMLElement* robot = doc.FirstChildElement("Robot");
    const tinyxml2::XMLElement* kinematic = robot ? robot->FirstChildElement("Kinematic") : nullptr;
    const char* type = kinematic ? kinematic->Attribute("Type") : nullptr;
    if (type == nullptr) return nullptr;
    std::unique_ptr<RobotKinematic> kin = KinematicFactory::Create(type);
    if (kin) {
        kin->Init("ProgramTestRobot", type, path, -1);
        kin->cycleTimeMs = 4.0;
    }
    return kin;
}

class ProgramMemoryKinematics : public ::testing::Test {
protected:
    void SetUp() override {
        kinematic = KinematicFromRobotFile(TestSupport::FixturePath(kRobotFile));
        ASSERT_NE(kinematic, nullptr);
        reference.reset(kinematic->clone());
        memory.SetKinematic(kinematic.get());
        memory.SetRobotState(&robot);
        const float current[9] = {10, 20, 30, 5, 40, 15, 0, 0, 0};
        for (int i = 0; i < 9; ++i) robot.jointSetPoint[i] = current[i];
        memory.SetChangeCallback([this](std::shared_ptr<const MemoryPosition> v) { changes.push_back(v->name); });
    }

    // Pose and angles that the reference model gives for user joints.
    DataTypes::RobotState Forward(const float* joints) {
        reference->SetJoints(joints, false);
        DataTypes::RobotState s;
        reference->GetPosition(&s);
        s.UpdateABC();
        for (int i = 0; i < 9; ++i) s.jointSetPoint[i] = joints[i];
        return s;
    }

    static void ExpectJoints(const float* actual, const float* expected) {
        for (int i = 0; i < 9; ++i) EXPECT_NEAR(actual[i], expected[i], 0.01) << "joint " << i;
    }

    std::unique_ptr<RobotKinematic> kinematic;
    std::unique_ptr<RobotKinematic> reference;
    DataTypes::RobotState robot;
    ProgramMemory memory;
    std::vector<std::string> changes;
};

TEST_F(ProgramMemoryKinematics, JointsGivenGetTheirPose) {
    const float joints[9] = {10, 20, 30, 5, 40, 15, 0, 0, 0};
    const DataTypes::RobotState expected = Forward(joints);

    EXPECT_FALSE(memory.SetVariablePosJoint("PJ", 10, 20, 30, 5, 40, 15, 0, 0, 0, true));
    const MemoryPosition p = memory.GetVariable("pj");
    EXPECT_TRUE(p.position.pose.Equals(expected.pose, 0.01f));
    EXPECT_NEAR(p.position.A, expected.A, 0.01);
    EXPECT_NEAR(p.position.B, expected.B, 0.01);
    EXPECT_NEAR(p.position.C, expected.C, 0.01);
    ExpectJoints(p.position.jointSetPoint, joints);
    // The pose is not the identity default: the completion really ran.
    EXPECT_GT(std::fabs(p.position.pose(0, 3)) + std::fabs(p.position.pose(1, 3)), 100.0f);
    ASSERT_EQ(changes.size(), 1u);

    // The same joints again: nothing changed, nothing reported.
    EXPECT_TRUE(memory.SetVariablePosJoint("pj", 10, 20, 30, 5, 40, 15, 0, 0, 0, false));
    EXPECT_EQ(changes.size(), 1u);
}

TEST_F(ProgramMemoryKinematics, PoseGivenGetsItsJointsWithTheRotationOfItsAngles) {
    const float joints[9] = {10, 20, 30, 5, 40, 15, 0, 0, 0};
    const DataTypes::RobotState target = Forward(joints);
    const DataTypes::Vector3 t = target.pose.GetTranslation();

    EXPECT_FALSE(memory.SetVariablePosCart("pc", t.x, t.y, t.z, target.A, target.B, target.C, 0, 0, 0, true));
    const MemoryPosition p = memory.GetVariable("pc");
    ExpectJoints(p.position.jointSetPoint, joints);
    DataTypes::Matrix44 rotation;
    rotation.SetRotationABCDeg2(target.A, target.B, target.C);
    rotation.SetTranslation(t);
    EXPECT_TRUE(p.position.pose.Equals(rotation, 0.001f));
    ASSERT_EQ(changes.size(), 1u);

    // An existing variable holding another rotation takes the new angles too.
    const float other[9] = {-20, 10, 45, -30, 60, 80, 0, 0, 0};
    const DataTypes::RobotState second = Forward(other);
    const DataTypes::Vector3 t2 = second.pose.GetTranslation();
    for (int i = 0; i < 9; ++i) robot.jointSetPoint[i] = other[i];
    EXPECT_TRUE(memory.SetVariablePosCart("PC", t2.x, t2.y, t2.z, second.A, second.B, second.C, 0, 0, 0, false));
    ExpectJoints(memory.GetVariable("pc").position.jointSetPoint, other);
    EXPECT_EQ(changes.size(), 2u);

    // Repeating it is no change.
    EXPECT_TRUE(memory.SetVariablePosCart("pc", t2.x, t2.y, t2.z, second.A, second.B, second.C, 0, 0, 0, false));
    EXPECT_EQ(changes.size(), 2u);
}

TEST_F(ProgramMemoryKinematics, ExternalAxesTravelWithTheCartesianPose) {
    const float joints[9] = {10, 20, 30, 5, 40, 15, 0, 0, 0};
    const DataTypes::RobotState target = Forward(joints);
    const DataTypes::Vector3 t = target.pose.GetTranslation();
    memory.SetVariablePosCart("pe", t.x, t.y, t.z, target.A, target.B, target.C, 100, -50, 7, true);
    const MemoryPosition p = memory.GetVariable("pe");
    EXPECT_NEAR(p.position.jointSetPoint[6], 100.0f, 0.01);
    EXPECT_NEAR(p.position.jointSetPoint[7], -50.0f, 0.01);
    EXPECT_NEAR(p.position.jointSetPoint[8], 7.0f, 0.01);
}

TEST_F(ProgramMemoryKinematics, StoredRecordsAreCompletedOnRequest) {
    const float joints[9] = {-15, 25, 35, 10, 50, -20, 0, 0, 0};
    const DataTypes::RobotState full = Forward(joints);

    DataTypes::RobotState jointsOnly;
    for (int i = 0; i < 9; ++i) jointsOnly.jointSetPoint[i] = joints[i];
    memory.SetVariable(MemoryPosition("byjoints", jointsOnly, false), Programs::StoreJoints);
    EXPECT_TRUE(memory.GetVariable("byjoints").position.pose.Equals(full.pose, 0.01f));

    DataTypes::RobotState poseOnly;
    poseOnly.pose = full.pose;
    poseOnly.A = full.A;
    poseOnly.B = full.B;
    poseOnly.C = full.C;
    for (int i = 0; i < 9; ++i) robot.jointSetPoint[i] = joints[i];
    memory.SetVariable(MemoryPosition("bypose", poseOnly, false), Programs::StoreCartesian);
    ExpectJoints(memory.GetVariable("bypose").position.jointSetPoint, joints);

    DataTypes::RobotState moved = full;
    moved.pose(2, 3) -= 20.0f;
    memory.SetVariablePos("bypose", moved, false, Programs::StoreCartesian);
    EXPECT_GT(std::fabs(memory.GetVariable("bypose").position.jointSetPoint[1] - joints[1]), 0.1f);
}

TEST_F(ProgramMemoryKinematics, UnreachablePoseLeavesTheVariableWhole) {
    const float joints[9] = {10, 20, 30, 5, 40, 15, 0, 0, 0};
    memory.SetVariablePosJoint("keep", 10, 20, 30, 5, 40, 15, 0, 0, 0, true);
    const MemoryPosition before = memory.GetVariable("keep");
    const size_t reported = changes.size();
    TestSupport::LogCapture log;

    struct Case {
        const char* what;
        double x, y, z;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Case cases[] = {{"out of reach", 5000, 0, 500}, {"centre singularity", 10, 10, 500}, {"not a number", nan, 0, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // Refused: the caller learns that the variable did not take the value.
        EXPECT_FALSE(memory.SetVariablePosCart("keep", c.x, c.y, c.z, 0, 90, 0, 0, 0, 0, false));
        const MemoryPosition after = memory.GetVariable("keep");
        ExpectJoints(after.position.jointSetPoint, joints);
        EXPECT_TRUE(after.position.pose.Equals(before.position.pose, 0.0001f));
        EXPECT_FLOAT_EQ(after.position.A, before.position.A);
        EXPECT_EQ(changes.size(), reported);
    }
    EXPECT_TRUE(log.HasErrorContaining("could not compute the joints of keep"));

    // A new variable that cannot be solved is not created at all.
    EXPECT_FALSE(memory.SetVariablePosCart("ghost", 5000, 0, 500, 0, 0, 0, 0, 0, 0, true));
    EXPECT_FALSE(memory.HasVariable("ghost"));
    memory.SetVariable(MemoryPosition("ghost", DataTypes::RobotState(), false), Programs::StoreCartesian);
    EXPECT_FALSE(memory.HasVariable("ghost"));
    EXPECT_EQ(changes.size(), reported);
}

TEST_F(ProgramMemoryKinematics, RobotJointsChooseTheArmConfiguration) {
    // The same pose solved from two wrist configurations gives A5 of either sign.
    const float flippedWrist[9] = {10, 20, 30, 5, -40, 15, 0, 0, 0};
    const DataTypes::RobotState target = Forward(flippedWrist);
    const DataTypes::Vector3 t = target.pose.GetTranslation();

    for (int i = 0; i < 9; ++i) robot.jointSetPoint[i] = flippedWrist[i];
    memory.SetVariablePosCart("w", t.x, t.y, t.z, target.A, target.B, target.C, 0, 0, 0, true);
    EXPECT_LT(memory.GetVariable("w").position.jointSetPoint[4], 0.0f);

    robot.jointSetPoint[4] = 40.0f;
    memory.SetVariablePosCart("w", t.x, t.y, t.z, target.A, target.B, target.C, 0, 0, 0, false);
    EXPECT_GT(memory.GetVariable("w").position.jointSetPoint[4], 0.0f);
}

}  // namespace
