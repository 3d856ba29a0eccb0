// Direct Cartesian moves of the six-axis sample's arm from poses whose angle A
// lies within a degree of the half turn, where -180 and +180 are one and the
// same orientation: small steps and a turn across the wrap run with both path
// generators, and a refusal as out of reach follows the wrist centre's
// distance from the shoulder, whatever the angle.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>

#include "PkgProgram/CartesianTestSupport.h"
#include "PkgProgram/MotionTestSupport.h"
#include "datatypes/RobotState.h"
#include "datatypes/Vector3.h"
#include "kinematics/KinematicFactory.h"
#include "kinematics/RobotKinematicSixAxis.h"
#include "support/LogCapture.h"

namespace {

using DataTypes::Vector3;

const std::string SampleRobotFile =
    std::string(KORVELLA_SAMPLES_DIR) + "/six-axis/Data/Robots/KorvellaSix/KorvellaSix.xml";

std::unique_ptr<RobotKinematic> SampleArm() {
    std::unique_ptr<RobotKinematic> arm = KinematicFactory::Create("StandardSixAxisPlus");  // the sample's type
    arm->Init("Sample", "StandardSixAxisPlus", SampleRobotFile, -1);
    arm->cycleTimeMs = MotionTest::CycleMs;
    return arm;
}

struct Outcome {
    bool done = false;        // "IPO: MoveTo done"
    std::string error;        // the first "PathGen Error" line
    DataTypes::RobotState end;  // pose of the last set-point
    float excursion = 0.0f;   // largest distance of a robot joint from its start on the way, degrees
};

class DirectMoveHalfTurn : public ::testing::Test {
protected:
    DirectMoveHalfTurn() : arm(SampleArm()) {}

    DataTypes::RobotState PoseOf(const float* joints) { return CartesianTest::PoseOf(*arm, joints); }

    // A client's "Move Cart" from the joints: generator 0 plans in joint space
    // (the sample's), 1 is the Cartesian one.
    Outcome Move(int generator, const float* joints, const Vector3& position, const Vector3& abc) {
        log.Clear();
        MotionTest::Robot robot(false, 3, IPO::IpoTypeDirect);
        if (generator == 1) {
            robot.ipo.InitPathGen(1, 100.0f, 10.0f, 3);
            robot.ipo.InitJointMaxValues(CartesianTest::JointVel, CartesianTest::JointAcc, CartesianTest::JointJerk,
                                         CartesianTest::CartVel, CartesianTest::CartAcc, CartesianTest::CartJerk,
                                         CartesianTest::OriVel, CartesianTest::OriAcc, CartesianTest::OriJerk);
        }
        robot.ipo.SetKinematic(SampleArm().release());
        robot.state = PoseOf(joints);
        robot.ipo.MoveLinear(position, abc, Vector3(), 100.0f);
        robot.ipo.Start();
        Outcome o;
        EXPECT_TRUE(robot.RunToStop());
        for (const MotionTest::Joints& j : robot.trace)
            for (std::size_t i = 0; i < 6; ++i) o.excursion = std::max(o.excursion, std::fabs(j[i] - joints[i]));
        o.end = PoseOf(robot.state.jointSetPoint);
        o.done = log.Has("IPO: MoveTo done");
        const std::vector<std::string> errors = log.StartingWith("PathGen Error");
        if (!errors.empty()) o.error = errors.front();
        return o;
    }

    // Distance of the wrist centre of a flange pose from the shoulder, and the
    // farthest the inverse kinematics accepts (full stretch less the margin).
    float WristDistance(const DataTypes::Matrix44& pose) const {
        const auto& six = dynamic_cast<const RobotKinematicSixAxis&>(*arm);
        const Vector3 wrist = pose.GetTranslation() - pose.GetColumnVector(2) * six.lx6;
        return (wrist - Vector3(0.0f, 0.0f, six.lz0 + six.lz1)).Magnitude();
    }
    float Reach() const {
        const auto& six = dynamic_cast<const RobotKinematicSixAxis&>(*arm);
        return six.lx2 + six.lx3 + six.lx4 - six.singularityEllbow;
    }

    TestSupport::ScratchRoot root;
    TestSupport::LogCapture log;
    std::unique_ptr<RobotKinematic> arm;
};

TEST_F(DirectMoveHalfTurn, SmallStepsAndATurnAcrossTheWrapRunWithBothGenerators) {
    // Tool down over the demo's line (A +-179.5 by A6 or by A1), the demo's
    // second joint target (A -179.25, B 81.5), and two tilted poses, one with
    // the wrist flipped.
    const float starts[][9] = {
        {0, 45, 45, 0, 90, 0.5f, 0, 0, 0},
        {0, 45, 45, 0, 90, -0.5f, 0, 0, 0},
        {0.5f, 45, 45, 0, 90, 0, 0, 0, 0},
        {-30, 10, 50, 20, 40, -20, 0, 0, 0},
        {31.07f, -1.05f, -46.73f, -15.09f, 37.92f, 160.08f, 0, 0, 0},
        {-4.25f, -41.71f, -79.89f, 54.74f, -34.42f, -53.58f, 0, 0, 0},
    };
    struct Step {
        const char* name;
        Vector3 move;
        bool acrossTheWrap;  // A to the other side of the half turn: -179.5 becomes +179.5, a turn of one degree
    };
    const Step steps[] = {
        {"+x", Vector3(5, 0, 0), false},  {"-x", Vector3(-5, 0, 0), false},
        {"+y", Vector3(0, 5, 0), false},  {"-y", Vector3(0, -5, 0), false},
        {"+z", Vector3(0, 0, 5), false},  {"-z", Vector3(0, 0, -5), false},
        {"x and a turn across the wrap", Vector3(5, 0, 0), true},
        {"a turn across the wrap", Vector3(), true},
    };
    for (const float* joints : starts) {
        const DataTypes::RobotState start = PoseOf(joints);
        ASSERT_GT(std::fabs(start.A), 179.0f) << "A " << start.A;
        for (int generator : {0, 1}) {
            for (const Step& step : steps) {
                // The Cartesian generator refuses a line without translation (see CartesianPathGeneratorTest).
                if (generator == 1 && step.move.Magnitude() == 0.0f) continue;
                SCOPED_TRACE(std::string(step.name) + " with generator " + std::to_string(generator) + " from A " +
                             std::to_string(start.A) + ", A6 " + std::to_string(joints[5]));
                const Vector3 goal = start.pose.GetTranslation() + step.move;
                const Vector3 abc(step.acrossTheWrap ? -start.A : start.A, start.B, start.C);
                const Outcome o = Move(generator, joints, goal, abc);
                EXPECT_TRUE(o.done) << o.error;
                EXPECT_TRUE(o.error.empty()) << o.error;
                EXPECT_LT((o.end.pose.GetTranslation() - goal).Magnitude(), 0.05f);
                DataTypes::Matrix44 target;
                target.SetRotationABCDeg2(abc.x, abc.y, abc.z);
                EXPECT_LT(CartesianTest::OrientationError(o.end.pose, target), 0.01f);
                // Every joint stays near its start: no joint takes the long way round or another branch.
                EXPECT_LT(o.excursion, 5.0f);
            }
        }
    }
}

// Within a few millimetres of the arm's stretch margin a step outwards is
// refused as out of reach and a step inwards runs, alike for A near -180, near
// +180 and near 0: the refusal is the reach limit, not the angle.
TEST_F(DirectMoveHalfTurn, OutOfReachFollowsTheWristDistanceNotTheAngle) {
    for (float a6 : {-0.5f, 0.5f, 179.5f}) {
        const float joints[9] = {0, 45, 36, 0, 99, a6, 0, 0, 0};  // tool down, wrist centre 727.7 mm out
        const DataTypes::RobotState start = PoseOf(joints);
        SCOPED_TRACE("A " + std::to_string(start.A));
        const float distance = WristDistance(start.pose);
        ASSERT_LT(distance, Reach());
        ASSERT_GT(distance, Reach() - 5.0f);
        for (int generator : {0, 1}) {
            SCOPED_TRACE("generator " + std::to_string(generator));
            const Vector3 abc(start.A, start.B, start.C);
            DataTypes::Matrix44 outwards = start.pose;
            outwards.SetTranslation(start.pose.GetTranslation() + Vector3(5, 0, 0));
            ASSERT_GT(WristDistance(outwards), Reach());
            const Outcome out = Move(generator, joints, outwards.GetTranslation(), abc);
            EXPECT_FALSE(out.done);
            EXPECT_EQ(out.error, "PathGen Error in command 0: Out of Reach");

            const Vector3 inwards = start.pose.GetTranslation() - Vector3(5, 0, 0);
            const Outcome in = Move(generator, joints, inwards, abc);
            EXPECT_TRUE(in.done) << in.error;
            EXPECT_LT((in.end.pose.GetTranslation() - inwards).Magnitude(), 0.05f);
        }
    }
}

}  // namespace
