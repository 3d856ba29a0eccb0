// Three-axis planar arm and Dravo4: forward values, round trips in every arm
// configuration, the plane, centre and reach refusals and the orientation limit.

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>

#include "ArmTestSupport.h"
#include "RoundTrip.h"
#include "kinematics/KinMath.h"
#include "kinematics/RobotKinematic3AxisPlane.h"
#include "kinematics/RobotKinematicDravo4.h"

using ArmTest::PointingDown;
using ArmTest::SamePose;
using ArmTest::Snapshot;
using KinTest::LogCapture;
using KinTest::ThrownCode;

namespace {

// Refused poses must lie within the centre zone or outside the reach of the
// arm whose shoulder is `shoulderZ` high.
template <typename Arm>
std::function<bool(int, const DataTypes::Matrix44&)> RealRefusal(const Arm& kin, float wristToFlange) {
    return [&kin, wristToFlange](int code, const DataTypes::Matrix44& f) {
        const DataTypes::Vector3 w = f.GetTranslation() - f.GetColumnVector(2) * wristToFlange;
        const double c = kin.singularityCenter + 1e-3;
        const double h = w.z - (kin.lz0 + kin.lz1);
        const double d = std::sqrt(static_cast<double>(w.x) * w.x + static_cast<double>(w.y) * w.y + h * h);
        if (code == 21) return std::fabs(w.x) < c && std::fabs(w.y) < c;
        if (code == 22) {
            return d > kin.lz2 + kin.lz3 - kin.singularityEllbow - 1e-3 || d < std::fabs(kin.lz2 - kin.lz3) + 1e-3;
        }
        return false;
    };
}

DataTypes::Matrix44 Flange(const RobotKinematic& kin) {
    return KinMath::ToMatrix(
        KinMath::Mul(KinMath::FromMatrix(kin.pose), KinMath::FromMatrix(kin.tool.inverseToolMatrix)));
}

}  // namespace

// ---- three-axis planar arm ----

TEST(ThreeAxisPlane, ForwardValuesOfTheBuiltInGeometry) {
    RobotKinematic3AxisPlane kin;
    struct Case {
        float q[3];
        DataTypes::Vector3 wrist;
        DataTypes::Vector3 flange;
    };
    const Case cases[] = {
        {{0, 0, 0}, {0, 0, 628}, {0, 0, 674}},
        {{0, 90, 0}, {220, 0, 408}, {266, 0, 408}},
        {{90, 0, 0}, {410, 0, 218}, {456, 0, 218}},
        {{0, 90, -90}, {220, 0, 408}, {220, 0, 454}},
    };
    for (const Case& c : cases) {
        const float user[9] = {c.q[0], c.q[1], c.q[2], 0, 0, 0, 0, 0, 0};
        kin.SetJoints(user, false);
        EXPECT_LT(ArmTest::Distance(kin.wristPoint, c.wrist), 1e-3) << c.q[1];
        EXPECT_LT(ArmTest::Distance(kin.pose.GetTranslation(), c.flange), 1e-3) << c.q[1];
        // The flange only tilts about Y.
        EXPECT_NEAR(kin.pose(1, 1), 1.0f, 1e-6);
    }
}

TEST(ThreeAxisPlane, RoundTripsInEveryConfigurationWithATool) {
    auto kin = ArmTest::LoadFixture<RobotKinematic3AxisPlane>("kin2-robot-3axisplane.xml");
    ASSERT_EQ(kin->jointDirections[0], -1.0f);
    ASSERT_EQ(kin->jointOffsets[1], -10.0f);
    ArmTest::UseTool(*kin, "kin-tool-gripper.xml");
    ArmTest::RoundTripOptions o;
    o.joints = 3;
    o.elbow = 1;
    o.seed = 11;
    ArmTest::CheckRoundTrips(*kin, o, RealRefusal(*kin, kin->lz4));
}

TEST(ThreeAxisPlane, WristOffThePlaneIsRefusedBeyondTheTolerance) {
    RobotKinematic3AxisPlane kin;
    kin.cycleTimeMs = 4;
    LogCapture log;
    float ext[9] = {};
    // Flange straight down: the wrist centre lies 46 above the flange.
    EXPECT_EQ(ThrownCode([&] { kin.SetPosition(PointingDown(300, 0.02f, 300), ext); }), 22);
    EXPECT_EQ(ThrownCode([&] { kin.SetPosition(PointingDown(300, 0.02f, 300), ext); }), 22);
    EXPECT_EQ(log.CountContaining("InvKin: OutofReach"), 1);
    EXPECT_EQ(ThrownCode([&] { kin.SetPosition(PointingDown(300, 0.005f, 300), ext); }), 0);
    EXPECT_NEAR(kin.wristPoint.x, 300, 1e-3);
}

TEST(ThreeAxisPlane, CentreAxisThrows21AndLogsOncePerSeries) {
    RobotKinematic3AxisPlane kin;
    kin.cycleTimeMs = 4;
    LogCapture log;
    float ext[9] = {};
    const DataTypes::Matrix44 nearAxis = PointingDown(3, 0, 400);
    EXPECT_EQ(ThrownCode([&] { kin.SetPosition(nearAxis, ext); }), 21);
    EXPECT_EQ(ThrownCode([&] { kin.SetPosition(nearAxis, ext); }), 21);
    EXPECT_TRUE(log.HasError("Kinematic Error: too close to center axis! 3.0 0 5"));
    EXPECT_EQ(log.CountContaining("too close to center axis"), 1);
    EXPECT_EQ(ThrownCode([&] { kin.SetPosition(PointingDown(300, 0, 300), ext); }), 0);
    EXPECT_EQ(ThrownCode([&] { kin.SetPosition(nearAxis, ext); }), 21);
    EXPECT_EQ(log.CountContaining("too close to center axis"), 2);
}

TEST(ThreeAxisPlane, ReachLimitIsInclusive) {
    RobotKinematic3AxisPlane kin;
    kin.cycleTimeMs = 4;
    float ext[9] = {};
    // Shoulder at 218; reach 190 + 220 - 30 = 380, level with the shoulder.
    DataTypes::Matrix44 level;
    // Ry(90), exactly: approach along +X.
    level(0, 0) = 0;
    level(0, 2) = 1;
    level(2, 0) = -1;
    level(2, 2) = 0;
    level.SetTranslation(380 + 46, 0, 218);
    EXPECT_EQ(ThrownCode([&] { kin.SetPosition(level, ext); }), 0);
    level(0, 3) += 0.1f;
    EXPECT_EQ(ThrownCode([&] { kin.SetPosition(level, ext); }), 22);
    // Closer to the shoulder than the folded arm (|190 - 220|) is out of reach too, not a NaN.
    EXPECT_EQ(ThrownCode([&] { kin.SetPosition(PointingDown(15, 0, 182), ext); }), 22);
}

TEST(ThreeAxisPlane, ConfigurationFollowsTheLastJointsAndTargetsAreReachedOnTheirOwnSide) {
    RobotKinematic3AxisPlane kin;
    kin.cycleTimeMs = 4;
    kin.jointLimits[0][0] = -170;
    kin.jointLimits[0][1] = 170;
    kin.jointLimits[1][0] = -170;
    kin.jointLimits[1][1] = 170;
    float ext[9] = {};
    float back[9];

    const float front[9] = {20, 40, 30, 0, 0, 0, 0, 0, 0};
    kin.SetJoints(front, false);
    ASSERT_TRUE(kin.armFront);
    ASSERT_TRUE(kin.elbowUp);
    kin.SetPosition(PointingDown(300, 0, 250), ext);
    kin.GetJoints(back);
    EXPECT_GT(back[1], 0);

    // Wrist centre at negative X: the solution is mirrored, A1 and A2 negated.
    const float behind[9] = {-20, -40, -30, 0, 0, 0, 0, 0, 0};
    kin.SetJoints(behind, false);
    ASSERT_FALSE(kin.armFront);
    kin.SetPosition(PointingDown(-300, 0, 250), ext);
    kin.GetJoints(back);
    std::unique_ptr<RobotKinematic> probe(kin.clone());
    probe->SetJoints(back, false);
    // The planar arm points down with its Y axis kept: compare position and approach.
    const auto reaches = [&](float x) {
        return ArmTest::Distance(probe->pose.GetTranslation(), DataTypes::Vector3(x, 0, 250)) < 1e-2 &&
               probe->pose(2, 2) < -0.99999f;
    };
    EXPECT_TRUE(reaches(-300));
    EXPECT_LT(back[0], 0);
    EXPECT_LT(back[1], 0);

    // A target on the other side is reached there, not at its mirror image.
    kin.SetJoints(behind, false);
    kin.SetPosition(PointingDown(300, 0, 250), ext);
    kin.GetJoints(back);
    probe->SetJoints(back, false);
    EXPECT_TRUE(reaches(300));
}

TEST(ThreeAxisPlane, ShoulderComesOutNearTheCurrentJointNotATurnAway) {
    RobotKinematic3AxisPlane kin;
    kin.cycleTimeMs = 4;
    kin.jointLimits[0][0] = -170;
    kin.jointLimits[0][1] = 170;
    kin.jointLimits[1][0] = -170;
    kin.jointLimits[1][1] = 170;
    kin.jointLimits[2][0] = -170;
    kin.jointLimits[2][1] = 170;
    // Elbow down on the back side, shoulder past -90: the branch formula gives 230 for -130.
    const float user[9] = {-130, -100, 20, 0, 0, 0, 0, 0, 0};
    kin.SetJoints(user, false);
    const DataTypes::Matrix44 target = kin.pose;
    float ext[9] = {};
    ASSERT_EQ(ThrownCode([&] { kin.SetPosition(target, ext); }), 0);
    float back[9];
    kin.GetJoints(back);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(back[i], user[i], 1e-3) << i;
}

TEST(ThreeAxisPlane, SidewaysApproachIsTurnedIntoThePlaneAndTheRequestStored) {
    RobotKinematic3AxisPlane kin;
    kin.cycleTimeMs = 4;
    DataTypes::Matrix44 target;
    target.SetRotationABCDeg2(60, 130, 0);  // approach with a Y component
    target.SetTranslation(300, 0, 250);
    ASSERT_GT(std::fabs(target(1, 2)), 0.1f);
    float ext[9] = {};
    ASSERT_EQ(ThrownCode([&] { kin.SetPosition(target, ext); }), 0);
    EXPECT_TRUE(kin.pose.Equals(target, 0.0f));
    // The arm reaches the position with the approach's part in the X-Z plane.
    float back[9];
    kin.GetJoints(back);
    std::unique_ptr<RobotKinematic> probe(kin.clone());
    probe->SetJoints(back, false);
    EXPECT_LT(ArmTest::Distance(probe->pose.GetTranslation(), target.GetTranslation()), 1e-2);
    const DataTypes::Vector3 a = target.GetColumnVector(2);
    const double n = std::sqrt(a.x * a.x + a.z * a.z);
    EXPECT_NEAR(probe->pose(0, 2), a.x / n, 1e-5);
    EXPECT_NEAR(probe->pose(2, 2), a.z / n, 1e-5);
}

// ---- refusals common to both arms ----

TEST(PlanarArms, ApproachAcrossTheArmPlaneIsRefusedOnceAndChangesNothing) {
    RobotKinematic3AxisPlane plane;
    RobotKinematicDravo4 dravo4;
    for (RobotKinematic* kin : {static_cast<RobotKinematic*>(&plane), static_cast<RobotKinematic*>(&dravo4)}) {
        SCOPED_TRACE(kin->kinematicTypeName);
        kin->cycleTimeMs = 4;
        const float user[9] = {0, 10, 40, 20, 0, 0, 0, 0, 0};
        kin->SetJoints(user, false);
        const Snapshot before(*kin);
        // Approach along Y, the plane through the flange is the X-Z plane.
        DataTypes::Matrix44 across;
        across.SetRotationDeg(DataTypes::Matrix44::X, -90);
        across.SetTranslation(300, 0, 300);
        ASSERT_NEAR(across(1, 2), 1.0f, 1e-6);
        LogCapture log;
        float ext[9] = {};
        EXPECT_EQ(ThrownCode([&] { kin->SetPosition(across, ext); }), 22);
        EXPECT_EQ(ThrownCode([&] { kin->SetPosition(across, ext); }), 22);
        EXPECT_EQ(log.CountContaining("InvKin: OutofReach"), 1);
        EXPECT_TRUE(before.Unchanged(*kin));
    }
}

TEST(PlanarArms, JointLimitOfTheSolutionIsRefusedAndChangesNothing) {
    auto plane = ArmTest::LoadFixture<RobotKinematic3AxisPlane>("kin2-robot-3axisplane.xml");
    auto dravo4 = ArmTest::LoadFixture<RobotKinematicDravo4>("kin2-robot-dravo4.xml");
    for (RobotKinematic* kin : {static_cast<RobotKinematic*>(plane.get()), static_cast<RobotKinematic*>(dravo4.get())}) {
        SCOPED_TRACE(kin->kinematicTypeName);
        std::unique_ptr<RobotKinematic> probe(kin->clone());
        probe->jointLimits[2][0] = -400;
        probe->jointLimits[2][1] = 400;
        float limits[9][2];
        kin->GetMinMaxValues(limits);
        float beyond[9] = {40, 60, 30, -20, 0, 0, 0, 0, 0};
        beyond[2] = limits[2][1] + 3;
        probe->SetJoints(beyond, false);
        float near[9] = {40, 60, 30, -20, 0, 0, 0, 0, 0};
        near[2] = limits[2][1] - 3;
        kin->SetJoints(near, false);
        const Snapshot before(*kin);
        float ext[9] = {};
        const int code = ThrownCode([&] { kin->SetPosition(probe->pose, ext); });
        EXPECT_TRUE(code == 13 || code == 14) << code;
        EXPECT_TRUE(before.Unchanged(*kin));
    }
}

// ---- Dravo4 ----

TEST(Dravo4, ForwardValuesOfTheBuiltInGeometry) {
    RobotKinematicDravo4 kin;
    struct Case {
        float q[4];
        DataTypes::Vector3 wrist;
    };
    const Case cases[] = {
        {{0, 0, 0, 0}, {0, 0, 628}},
        {{90, 0, 90, 0}, {0, 220, 408}},
        {{90, 90, 0, 0}, {0, 410, 218}},
    };
    for (const Case& c : cases) {
        const float user[9] = {c.q[0], c.q[1], c.q[2], c.q[3], 0, 0, 0, 0, 0};
        kin.SetJoints(user, false);
        EXPECT_LT(ArmTest::Distance(kin.wristPoint, c.wrist), 1e-3) << c.q[0] << " " << c.q[1];
    }
    const float zero[9] = {};
    kin.SetJoints(zero, false);
    EXPECT_LT(ArmTest::Distance(kin.pose.GetTranslation(), DataTypes::Vector3(0, 0, 674)), 1e-3);
}

TEST(Dravo4, RoundTripsInEveryConfigurationWithATool) {
    auto kin = ArmTest::LoadFixture<RobotKinematicDravo4>("kin2-robot-dravo4.xml");
    ASSERT_EQ(kin->jointDirections[1], -1.0f);
    ArmTest::UseTool(*kin, "kin-tool-gripper.xml");
    ArmTest::RoundTripOptions o;
    o.joints = 4;
    o.elbow = 2;
    o.seed = 12;
    ArmTest::CheckRoundTrips(*kin, o, RealRefusal(*kin, kin->lz4));
}

TEST(Dravo4, CentreTestLooksAtXAndYTogether) {
    RobotKinematicDravo4 kin;
    kin.cycleTimeMs = 4;
    kin.jointLimits[0][0] = -180;
    kin.jointLimits[0][1] = 180;
    float ext[9] = {};
    // Flange straight down: the wrist centre lies lz4 above it.
    EXPECT_EQ(ThrownCode([&] { kin.SetPosition(PointingDown(3, 3, 400), ext); }), 21);
    EXPECT_EQ(ThrownCode([&] { kin.SetPosition(PointingDown(3, 8, 400), ext); }), 0);
}

TEST(Dravo4, BentBackArmReachesOverItsBase) {
    RobotKinematicDravo4 kin;
    kin.cycleTimeMs = 4;
    for (int i = 0; i < 4; ++i) {
        kin.jointLimits[i][0] = -180;
        kin.jointLimits[i][1] = 180;
    }
    const float bentBack[9] = {10, -40, -60, 10, 0, 0, 0, 0, 0};
    kin.SetJoints(bentBack, false);
    ASSERT_FALSE(kin.armFront);
    float ext[9] = {};
    const DataTypes::Matrix44 target = PointingDown(250, 100, 250);
    ASSERT_EQ(ThrownCode([&] { kin.SetPosition(target, ext); }), 0);
    float back[9];
    kin.GetJoints(back);
    const double azimuth = std::atan2(100.0, 250.0) * 180.0 / M_PI;
    EXPECT_NEAR(back[0], KinMath::WrapDeg(azimuth + 180.0), 1e-3);
    EXPECT_LT(back[1], 0);
    std::unique_ptr<RobotKinematic> probe(kin.clone());
    probe->SetJoints(back, false);
    EXPECT_LT(ArmTest::Distance(probe->pose.GetTranslation(), target.GetTranslation()), 1e-2);
}

TEST(Dravo4, ReadBackPoseShowsTheLimitedOrientation) {
    RobotKinematicDravo4 kin;
    kin.cycleTimeMs = 4;
    float ext[9] = {};
    for (const bool front : {true, false}) {
        SCOPED_TRACE(front ? "front" : "back");
        const float start[9] = {30, front ? 20.0f : -30.0f, front ? 40.0f : -40.0f, 10, 0, 0, 0, 0, 0};
        kin.SetJoints(start, false);
        ASSERT_EQ(kin.armFront, front);
        DataTypes::Matrix44 target;
        target.SetRotationABCDeg2(50, 160, -25);
        target.SetTranslation(200, 150, 250);
        ASSERT_EQ(ThrownCode([&] { kin.SetPosition(target, ext); }), 0);
        DataTypes::RobotState state;
        kin.GetPosition(&state);
        EXPECT_FALSE(SamePose(state.pose, target, 0.01, 1e-3));
        EXPECT_LT(ArmTest::Distance(state.pose.GetTranslation(), target.GetTranslation()), 1e-2);
        // The stored pose is the one the arm takes with the new joints.
        float back[9];
        kin.GetJoints(back);
        EXPECT_EQ(back[4], 0);
        EXPECT_EQ(back[5], 0);
        std::unique_ptr<RobotKinematic> probe(kin.clone());
        probe->SetJoints(back, false);
        EXPECT_TRUE(SamePose(probe->pose, state.pose));
        // Its approach lies in the vertical plane through the base axis and the flange.
        const DataTypes::Matrix44 f = Flange(kin);
        const double cross = f(0, 3) * f(1, 2) - f(1, 3) * f(0, 2);
        EXPECT_NEAR(cross, 0, 1e-3);
    }
}
