// Shared behaviour of every geometry: unit conversions, joint limits, NaN and
// virtual-box checks, external-axis shift, clone.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <random>

#include "KinTestSupport.h"
#include "kinematics/RobotKinematicSixAxis.h"

using KinTest::LogCapture;
using KinTest::ThrownCode;

namespace {

// A six-axis arm with its built-in geometry and no robot file: all joints
// unlimited, 4 ms cycle.
std::unique_ptr<RobotKinematicSixAxis> MakeArm() {
    auto kin = std::make_unique<RobotKinematicSixAxis>();
    kin->cycleTimeMs = 4;
    kin->forearmAngle = std::atan(kin->lz3 / (kin->lx3 + kin->lx4));  // Init's part
    return kin;
}

void Limit(RobotKinematic& kin, int joint, float lo, float hi) {
    kin.jointLimits[joint][0] = lo;
    kin.jointLimits[joint][1] = hi;
}

}  // namespace

TEST(KinematicUnits, UserInternalRoundTripWithDirectionsAndOffsets) {
    auto kin = MakeArm();
    const float dirs[9] = {-1, 1, 1, -1, 1, -1, 1, 1, 1};
    const float offs[9] = {0, 12.5f, 90, -30, 0, 10, 0, 0, 0};
    for (int i = 0; i < 9; ++i) {
        kin->jointDirections[i] = dirs[i];
        kin->jointOffsets[i] = offs[i];
    }
    // Values that float represents exactly come back exactly.
    const float user[9] = {10.5f, -20.25f, 30, 45.5f, -60, 170, 100, 200, 300};
    kin->SetJoints(user, false);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(kin->joints[i], dirs[i] * user[i] + offs[i]) << i;
    float back[9];
    kin->GetJoints(back);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(back[i], user[i]) << i;

    // Arbitrary values come back within float rounding of the offset.
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> any(-180.0f, 180.0f);
    for (int n = 0; n < 1000; ++n) {
        float u[9];
        for (float& v : u) v = any(rng);
        kin->ResetLastJoints(u);
        kin->GetJoints(back);
        for (int i = 0; i < 9; ++i) ASSERT_NEAR(back[i], u[i], 2e-5f) << i;
        for (int i = 0; i < 9; ++i) EXPECT_EQ(kin->jointVelocities[i], 0.0f);
    }
}

TEST(KinematicUnits, HomePositionToInternalFormatAddsZOffset) {
    auto kin = MakeArm();
    kin->zOffset = 25;
    kin->jointDirections[0] = -1;
    float j[9] = {10, 20, 30, 0, 0, 0, 5, 0, 0};
    float z = 100;
    kin->KinAdaptorToInternalFormat(j, &z);
    EXPECT_EQ(z, 125);
    EXPECT_EQ(j[0], -10);
    EXPECT_EQ(j[2], 120);  // A3 offset 90
    EXPECT_EQ(j[6], 5);
}

TEST(KinematicLimits, UserLimitsConvertBothWaysAndStayOrdered) {
    auto kin = MakeArm();
    kin->jointDirections[0] = -1;
    kin->jointOffsets[0] = 10;
    float limits[9][2] = {{-100, 50}, {-180, 100}, {-180, 180}};
    kin->SetMinMaxValues(limits);
    // -1 * 50 + 10 = -40 and -1 * -100 + 10 = 110, swapped into order.
    EXPECT_EQ(kin->jointLimits[0][0], -40);
    EXPECT_EQ(kin->jointLimits[0][1], 110);
    EXPECT_EQ(kin->jointLimits[2][0], -90);
    EXPECT_EQ(kin->jointLimits[2][1], 270);

    float out[9][2] = {};
    kin->GetMinMaxValues(out);
    EXPECT_EQ(out[0][0], -100);
    EXPECT_EQ(out[0][1], 50);
    EXPECT_EQ(out[2][0], -180);
    EXPECT_EQ(out[2][1], 180);

    // Converting its own table in place works too.
    kin->SetMinMaxValues(kin->jointLimits);
    EXPECT_EQ(kin->jointLimits[2][0], 0);
    EXPECT_EQ(kin->jointLimits[2][1], 360);
}

TEST(KinematicLimits, ZeroDirectionIsSkippedWithALogLine) {
    auto kin = MakeArm();
    kin->jointDirections[4] = 0;
    LogCapture log;
    float out[9][2];
    out[4][0] = 111;
    out[4][1] = 222;
    kin->GetMinMaxValues(out);
    EXPECT_EQ(out[4][0], 111);
    EXPECT_EQ(out[4][1], 222);
    EXPECT_TRUE(log.Has(
        "Error while converting kinematic limits: brandTrafoJointDirections for axis 4 is 0, skipping axis"));
}

TEST(KinematicLimits, CheckJointsAcceptsAndRefusesByPositionAndDirection) {
    struct Case {
        const char* name;
        float last;
        float next;
        int code;
    };
    // Joint 1 limited to -10..20 (internal).
    const Case cases[] = {
        {"inside", 0, 5, 0},
        {"exactly on the minimum", -9, -10, 0},
        {"exactly on the maximum", 19, 20, 0},
        {"below minimum, standing", -12, -12, 0},
        {"below minimum, moving back in", -12, -11, 0},
        {"below minimum, creeping at -0.001 per s", -12, -12.000004f, 0},
        {"below minimum, moving further out", -12, -13, 13},
        {"crossing the minimum", -9, -11, 13},
        {"above maximum, moving back in", 25, 24, 0},
        {"above maximum, moving further out", 25, 26, 14},
        {"crossing the maximum", 19, 21, 14},
    };
    for (const Case& c : cases) {
        auto kin = MakeArm();
        Limit(*kin, 1, -10, 20);
        kin->joints[1] = c.last;
        float q[9];
        for (int i = 0; i < 9; ++i) q[i] = kin->joints[i];
        q[1] = c.next;
        EXPECT_EQ(ThrownCode([&] { kin->CheckJoints(q); }), c.code) << c.name;
    }
}

TEST(KinematicLimits, JointWithBothLimitsZeroIsNotLimited) {
    auto kin = MakeArm();
    Limit(*kin, 0, 0.0005f, -0.0009f);
    float q[9] = {5000, 30, 40, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(ThrownCode([&] { kin->CheckJoints(q); }), 0);
    q[0] = -5000;
    EXPECT_EQ(ThrownCode([&] { kin->CheckJoints(q); }), 0);
}

TEST(KinematicLimits, LimitViolationLogsOncePerSeries) {
    auto kin = MakeArm();
    Limit(*kin, 2, -90, 100);
    LogCapture log;
    float q[9] = {0, 30, 101, 0, 0, 0, 0, 0, 0};
    kin->joints[2] = 99;
    for (int n = 0; n < 3; ++n) {
        EXPECT_EQ(ThrownCode([&] { kin->CheckJoints(q); }), 14);
    }
    EXPECT_EQ(log.CountContaining("JointLimits Max exceeded"), 1);
    EXPECT_TRUE(log.HasError("JointLimits Max exceeded: Nr 2 requested 101.0° allowed 100.0°, joint vel 500.00"));

    // An accepted set-point ends the series; the next violation is logged again.
    q[2] = 98;
    EXPECT_EQ(ThrownCode([&] { kin->CheckJoints(q); }), 0);
    EXPECT_TRUE(kin->logLimitViolation);
    q[2] = 150;
    kin->joints[2] = 99;
    EXPECT_EQ(ThrownCode([&] { kin->CheckJoints(q); }), 14);
    EXPECT_EQ(log.CountContaining("JointLimits Max exceeded"), 2);

    q[2] = -95;
    kin->joints[2] = -80;
    kin->logLimitViolation = true;
    EXPECT_EQ(ThrownCode([&] { kin->CheckJoints(q); }), 13);
    EXPECT_TRUE(log.HasError("JointLimits Min exceeded: Nr 2 requested -95.0° allowed -90.0°, joint vel -3750.00"));
}

TEST(KinematicLimits, RefusedSetPointLeavesVelocitiesAndJointsUntouched) {
    auto kin = MakeArm();
    Limit(*kin, 0, -10, 10);
    float user[9] = {1, 0, 0, 0, 0, 0, 0, 0, 0};
    kin->SetJoints(user, true);
    ASSERT_FLOAT_EQ(kin->jointVelocities[0], 250.0f);  // 1 degree in 4 ms
    ASSERT_FLOAT_EQ(kin->jointVelocities[1], -7500.0f);  // from the constructor's 30 to 0

    const DataTypes::Matrix44 poseBefore = kin->pose;
    float jointsBefore[9], velBefore[9];
    for (int i = 0; i < 9; ++i) {
        jointsBefore[i] = kin->joints[i];
        velBefore[i] = kin->jointVelocities[i];
    }
    float bad[9] = {0, 5, 5, 5, 5, 5, 0, 0, 0};
    bad[0] = 11;  // A1 above its maximum, moving out
    EXPECT_EQ(ThrownCode([&] { kin->SetJoints(bad, true); }), 14);
    bad[0] = 0;
    bad[2] = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(ThrownCode([&] { kin->SetJoints(bad, true); }), 50);
    float q[9] = {20, 1, 1, 1, 1, 1, 0, 0, 0};
    EXPECT_EQ(ThrownCode([&] { kin->CheckJoints(q); }), 14);

    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(kin->joints[i], jointsBefore[i]) << i;
        EXPECT_EQ(kin->jointVelocities[i], velBefore[i]) << i;
    }
    EXPECT_TRUE(kin->pose.Equals(poseBefore, 0.0f));
}

TEST(KinematicLimits, UncheckedSetJointsIgnoresLimitsAndKeepsVelocities) {
    auto kin = MakeArm();
    Limit(*kin, 0, -10, 10);
    kin->jointVelocities[0] = 42;
    float user[9] = {50, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(ThrownCode([&] { kin->SetJoints(user, false); }), 0);
    EXPECT_EQ(kin->joints[0], 50);
    EXPECT_EQ(kin->jointVelocities[0], 42);
}

TEST(KinematicNaN, NaNIsReportedBeforeAnyLimitTest) {
    auto kin = MakeArm();
    Limit(*kin, 0, -10, 10);
    kin->joints[0] = 0;
    LogCapture log;
    float q[9] = {50, 0, std::numeric_limits<float>::quiet_NaN(), 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(ThrownCode([&] { kin->CheckJoints(q); }), 50);
    EXPECT_TRUE(log.HasError("Error in computation, NAN in Joint 2: nan"));
    EXPECT_EQ(log.CountContaining("JointLimits"), 0);

    // Infinity is refused the same way, even on an unlimited joint.
    q[2] = 0;
    q[3] = std::numeric_limits<float>::infinity();
    EXPECT_EQ(ThrownCode([&] { kin->CheckJoints(q); }), 50);
    EXPECT_TRUE(log.HasError("Error in computation, NAN in Joint 3: inf"));
}

TEST(KinematicNaN, ExternalAxisNaNAndLimitsCountFromOne) {
    auto kin = MakeArm();
    kin->nrOfExternalAxes = 1;
    kin->extAxisPresent[0] = true;
    Limit(*kin, 6, -100, 100);
    LogCapture log;
    float q[9] = {0, 30, 40, 0, 0, 0, std::numeric_limits<float>::quiet_NaN(), 0, 0};
    EXPECT_EQ(ThrownCode([&] { kin->CheckJoints(q); }), 50);
    EXPECT_TRUE(log.HasError("Error in computation, NAN in Ext1"));

    q[6] = 101;
    EXPECT_EQ(ThrownCode([&] { kin->CheckJoints(q); }), 14);
    EXPECT_TRUE(log.HasError("ExtJointLimits Max exceeded: Nr 1 requested 101.0 allowed 100.0, joint vel 25250.00"));
    // Axes beyond nrOfExternalAxes are not checked.
    q[6] = 0;
    q[7] = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(ThrownCode([&] { kin->CheckJoints(q); }), 0);
}

TEST(KinematicVirtualBox, RefusesOnlyMovesFurtherOut) {
    struct Case {
        const char* name;
        DataTypes::Vector3 last;
        DataTypes::Vector3 next;
        int code;
    };
    // Box (0, -100, 0) .. (500, 100, 400).
    const Case cases[] = {
        {"inside", {100, 0, 100}, {200, 0, 100}, 0},
        {"X+ out", {490, 0, 100}, {510, 0, 100}, 30},
        {"X- out", {10, 0, 100}, {-10, 0, 100}, 31},
        {"Y+ out", {0, 90, 100}, {0, 110, 100}, 32},
        {"Y- out", {0, -90, 100}, {0, -110, 100}, 33},
        {"Z+ out", {0, 0, 390}, {0, 0, 410}, 34},
        {"Z- out", {0, 0, 10}, {0, 0, -10}, 35},
        {"outside X+, moving back", {600, 0, 100}, {590, 0, 100}, 0},
        {"outside X+, standing", {600, 0, 100}, {600, 0, 100}, 0},
        {"X+ and Z- out: the later axis wins", {490, 0, 10}, {510, 0, -10}, 35},
        {"X- and Y+ out", {10, 90, 10}, {-10, 110, 10}, 32},
    };
    for (const Case& c : cases) {
        auto kin = MakeArm();
        kin->virtualBoxActive = true;
        kin->virtualBoxMin = DataTypes::Vector3(0, -100, 0);
        kin->virtualBoxMax = DataTypes::Vector3(500, 100, 400);
        EXPECT_EQ(ThrownCode([&] { kin->CheckVirtualBox(c.next, c.last); }), c.code) << c.name;
    }
}

TEST(KinematicVirtualBox, LogsEveryViolatedAxisAndNothingWhenInactive) {
    auto kin = MakeArm();
    kin->virtualBoxMin = DataTypes::Vector3(0, -100, 0);
    kin->virtualBoxMax = DataTypes::Vector3(500, 100, 400);
    LogCapture log;
    EXPECT_EQ(ThrownCode([&] { kin->CheckVirtualBox({900, 900, -900}, {0, 0, 0}); }), 0);
    kin->virtualBoxActive = true;
    EXPECT_EQ(ThrownCode([&] { kin->CheckVirtualBox({510, 0, -10.5f}, {490, 0, 10}); }), 35);
    EXPECT_TRUE(log.HasError("Virtual box violated: x 510 > 500z -10.5 < 0"));
}

TEST(KinematicVirtualBox, SetJointsRefusesAPoseLeavingTheBoxAndCommitsNothing) {
    auto kin = MakeArm();
    float user[9] = {0, 10, -80, 0, 45, 0, 0, 0, 0};
    kin->SetJoints(user, true);
    const DataTypes::Vector3 at = kin->pose.GetTranslation();
    kin->virtualBoxActive = true;
    kin->virtualBoxMin = DataTypes::Vector3(-2000, -2000, -2000);
    kin->virtualBoxMax = DataTypes::Vector3(2000, 2000, at.z + 1);
    float up[9] = {0, 0, -90, 0, 0, 0, 0, 0, 0};  // straight up: higher than the box
    EXPECT_EQ(ThrownCode([&] { kin->SetJoints(up, true); }), 34);
    EXPECT_EQ(kin->joints[1], 10);
    EXPECT_EQ(kin->jointVelocities[1], -5000.0f);  // still from the first set-point: 30 to 10 in 4 ms
    EXPECT_FLOAT_EQ(kin->pose.GetTranslation().z, at.z);
}

TEST(KinematicExternalAxes, DependentLinearAxisShiftsTheBase) {
    struct Case {
        int angle;
        DataTypes::Vector3 shift;
    };
    const Case cases[] = {
        {-90, {200, 0, 30}}, {90, {-200, 0, 30}}, {180, {0, -200, 30}}, {45, {0, 200, 30}}, {0, {0, 200, 30}},
    };
    for (const Case& c : cases) {
        auto kin = MakeArm();
        kin->nrOfExternalAxes = 1;
        kin->extAxisPresent[0] = true;
        kin->extAxisIndependent[0] = false;
        kin->extAxisBaseOffset[0] = DataTypes::Vector3(0, 0, 30);
        kin->directionAngleToY[0] = c.angle;
        const float j[9] = {0, 0, 0, 0, 0, 0, 200, 0, 0};
        const DataTypes::Vector3 s = kin->ComputeLinearAxisPositionOffset(j);
        EXPECT_EQ(s.x, c.shift.x) << c.angle;
        EXPECT_EQ(s.y, c.shift.y) << c.angle;
        EXPECT_EQ(s.z, c.shift.z) << c.angle;

        DataTypes::Matrix44 m;
        m.SetTranslation(1, 2, 3);
        kin->AddLinearAxisPositionOffset(j, m);
        EXPECT_EQ(m.GetTranslation().y, 2 + c.shift.y);
        kin->SubtractLinearAxisPositionOffset(j, m);
        EXPECT_EQ(m.GetTranslation().x, 1);
        EXPECT_EQ(m.GetTranslation().z, 3);
        const DataTypes::Vector3 v = kin->AddLinearAxisPositionOffset(j, DataTypes::Vector3(1, 1, 1));
        EXPECT_EQ(v.z, 31);
    }

    // An independent axis contributes nothing.
    auto kin = MakeArm();
    kin->nrOfExternalAxes = 1;
    kin->extAxisPresent[0] = true;
    const float j[9] = {0, 0, 0, 0, 0, 0, 200, 0, 0};
    const DataTypes::Vector3 s = kin->ComputeLinearAxisPositionOffset(j);
    EXPECT_EQ(s.MagnitudeQ(), 0.0f);
}

TEST(KinematicExternalAxes, DependentAxisMovesTheReportedPoseAndTheIKTarget) {
    auto kin = MakeArm();
    kin->nrOfExternalAxes = 1;
    kin->extAxisPresent[0] = true;
    kin->extAxisIndependent[0] = false;
    kin->directionAngleToY[0] = 180;
    float user[9] = {20, 10, -30, 10, 40, 10, 0, 0, 0};
    kin->SetJoints(user, false);
    const DataTypes::Vector3 p0 = kin->pose.GetTranslation();
    user[6] = 150;
    kin->SetJoints(user, false);
    const DataTypes::Vector3 p1 = kin->pose.GetTranslation();
    EXPECT_NEAR(p1.y - p0.y, -150, 1e-3);
    EXPECT_NEAR(p1.x - p0.x, 0, 1e-3);

    // The same Cartesian target with the axis at 150 gives the same robot joints.
    const DataTypes::Matrix44 target = kin->pose;
    float ext[9] = {0, 0, 0, 0, 0, 0, 150, 0, 0};
    kin->SetPosition(target, ext);
    float back[9];
    kin->GetJoints(back);
    for (int i = 0; i < 7; ++i) EXPECT_NEAR(back[i], user[i], 1e-3) << i;
}

TEST(KinematicClone, CopiesSharedAndGeometryFieldsButNotVelocitySetOrLogState) {
    auto kin = MakeArm();
    kin->velocitySet = 3;
    kin->logLimitViolation = false;
    kin->velTrans = 123;
    kin->jointLimits[4][1] = 77;
    kin->virtualBoxActive = true;
    kin->tool.busId = 99;
    kin->lx2 = 333;
    kin->elbowUp = false;
    kin->wristDifferential = true;
    kin->cycleTimeMs = 8;

    std::unique_ptr<RobotKinematic> copy(kin->clone());
    auto* arm = dynamic_cast<RobotKinematicSixAxis*>(copy.get());
    ASSERT_NE(arm, nullptr);
    EXPECT_EQ(arm->velTrans, 123);
    EXPECT_EQ(arm->jointLimits[4][1], 77);
    EXPECT_TRUE(arm->virtualBoxActive);
    EXPECT_EQ(arm->tool.busId, 99);
    EXPECT_EQ(arm->lx2, 333);
    EXPECT_FALSE(arm->elbowUp);
    EXPECT_TRUE(arm->wristDifferential);
    EXPECT_EQ(arm->cycleTimeMs, 8);
    EXPECT_EQ(arm->kinematicTypeName, "RobotKinematicSixAxis");
    EXPECT_EQ(arm->velocitySet, -1);
    EXPECT_TRUE(arm->logLimitViolation);

    // The copy is independent of its source.
    float user[9] = {5, 5, 5, 5, 5, 5, 0, 0, 0};
    arm->SetJoints(user, false);
    EXPECT_NE(kin->joints[0], arm->joints[0]);
}

TEST(KinematicBase, PositionAndNotImplementedRewrite) {
    auto kin = MakeArm();
    kin->pose.SetTranslation(1, 2, 3);
    kin->poseExtra[0] = 7;
    DataTypes::RobotState state;
    state.A = 99;
    kin->GetPosition(&state);
    EXPECT_EQ(state.pose.GetTranslation().y, 2);
    EXPECT_EQ(state.A, 7);
    EXPECT_EQ(state.B, 0);

    LogCapture log;
    kin->UpdateConfigurationFile(nullptr, nullptr);
    EXPECT_TRUE(log.Has("RobotKinematic: UpdateConfigurationFile not implemented for this kinematic"));
}
