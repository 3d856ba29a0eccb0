// Six-axis arm: forward and inverse kinematics, arm configurations,
// singularities and the differential wrist.

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>
#include <string>

#include "KinTestSupport.h"
#include "kinematics/RobotKinematicSixAxis.h"
#include "support/TestSupport.h"

using KinTest::Distance;
using KinTest::LogCapture;
using KinTest::PointingDown;
using KinTest::ThrownCode;

namespace {

constexpr const char* kRobotFixture = "kin-robot-sixaxis.xml";

std::unique_ptr<RobotKinematicSixAxis> LoadArm(const std::string& robotFile) {
    auto kin = std::make_unique<RobotKinematicSixAxis>();
    kin->Init("TestBot", "StandardSixAxisPlus", robotFile, -1);
    kin->cycleTimeMs = 4;
    return kin;
}

std::unique_ptr<RobotKinematicSixAxis> LoadFixtureArm() {
    return LoadArm(TestSupport::FixturePath(kRobotFixture));
}

// The singularity that the inverse kinematics reported does exist at the joints
// last given to SetJoints (internal values in kin.joints, wrist centre in kin.wristPoint).
::testing::AssertionResult IsRealSingularity(const RobotKinematicSixAxis& kin, int code) {
    const DataTypes::Vector3 w = kin.wristPoint;
    const double q1 = kin.joints[0] * M_PI / 180.0;
    const DataTypes::Vector3 shoulder(static_cast<float>(kin.lx1 * std::cos(q1)),
                                      static_cast<float>(kin.lx1 * std::sin(q1)), kin.lz0 + kin.lz1);
    const double tol = 1e-3;
    switch (code) {
        case 21:
            if (std::fabs(w.x) < kin.singularityCenter + tol && std::fabs(w.y) < kin.singularityCenter + tol) {
                return ::testing::AssertionSuccess();
            }
            break;
        case 22:
            if (Distance(w, shoulder) > kin.lx2 + kin.lx3 + kin.lx4 - kin.singularityEllbow - tol) {
                return ::testing::AssertionSuccess();
            }
            break;
        case 23:
            if (std::fabs(std::sin(kin.joints[4] * M_PI / 180.0)) <
                std::tan(kin.singularityWrist * M_PI / 180.0) + 1e-5) {
                return ::testing::AssertionSuccess();
            }
            break;
        default:
            break;
    }
    return ::testing::AssertionFailure() << "code " << code << " without its singularity at wrist centre "
                                         << w.ToString() << ", A5 " << kin.joints[4];
}

}  // namespace

TEST(SixAxisForward, ZeroJointsPointStraightUp) {
    RobotKinematicSixAxis kin;
    // Internal 0 everywhere: A3 carries an offset of 90.
    const float user[9] = {0, 0, -90, 0, 0, 0, 0, 0, 0};
    kin.SetJoints(user, false);
    const DataTypes::Vector3 p = kin.pose.GetTranslation();
    EXPECT_NEAR(p.x, -45, 1e-4);
    EXPECT_NEAR(p.y, 0, 1e-4);
    EXPECT_NEAR(p.z, 122.15 + 76.3 + 350 + 400 + 80, 1e-3);
    const DataTypes::Vector3 z = kin.pose.GetColumnVector(2);
    EXPECT_NEAR(z.z, 1, 1e-6);
    EXPECT_NEAR(kin.pose(0, 0), 1, 1e-6);
}

TEST(SixAxisForward, ToolOffsetLiesAlongTheFlangeAxis) {
    KinTest::InstallToolFixture("kin-tool-digital.xml");  // OffsetZ 100, no rotation
    RobotKinematicSixAxis kin;
    const float user[9] = {30, 20, -40, 15, 50, -25, 0, 0, 0};
    kin.SetJoints(user, false);
    const DataTypes::Matrix44 flange = kin.pose;
    kin.tool.Init("kin-tool-digital.xml");
    kin.SetJoints(user, false);
    const DataTypes::Vector3 expected = flange.GetTranslation() + flange.GetColumnVector(2) * 100.0f;
    EXPECT_LT(Distance(kin.pose.GetTranslation(), expected), 1e-3);
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) EXPECT_NEAR(kin.pose(i, j), flange(i, j), 1e-6);
    }
}

// IK(FK(q)) gives q back in each of the four arm configurations, with a tool
// that has offset and rotation, joint directions of -1, offsets, and an A6
// range wider than one turn.
TEST(SixAxisInverse, RandomJointsRoundTripInAllFourArmConfigurations) {
    KinTest::InstallToolFixture("kin-tool-gripper.xml");
    auto kin = LoadFixtureArm();
    kin->tool.Init("kin-tool-gripper.xml");
    std::unique_ptr<RobotKinematic> probe(kin->clone());
    ASSERT_EQ(kin->jointDirections[0], -1.0f);
    ASSERT_EQ(kin->jointOffsets[5], 10.0f);

    float limits[9][2];
    kin->GetMinMaxValues(limits);
    std::mt19937 rng(20240611u);
    const float margin = 0.01f;  // strictly inside: a rounding step outside a limit, moving out, is refused

    struct Config {
        bool front;
        bool up;
    };
    for (const Config cfg : {Config{true, true}, Config{true, false}, Config{false, true}, Config{false, false}}) {
        SCOPED_TRACE(std::string(cfg.front ? "front" : "back") + (cfg.up ? ", elbow up" : ", elbow down"));
        int valid = 0;
        int singular = 0;
        double worstJoint = 0;
        double worstPos = 0;
        double worstRot = 0;
        for (long attempt = 0; valid < 10000 && attempt < 5000000; ++attempt) {
            float user[9] = {};
            for (int i = 0; i < 6; ++i) {
                std::uniform_real_distribution<float> d(limits[i][0] + margin, limits[i][1] - margin);
                user[i] = d(rng);
            }
            kin->SetJoints(user, false);
            if (kin->armFront != cfg.front || kin->elbowUp != cfg.up) continue;

            const DataTypes::Matrix44 target = kin->pose;
            float ext[9] = {};
            const int code = ThrownCode([&] { kin->SetPosition(target, ext); });
            if (code != 0) {
                ASSERT_TRUE(IsRealSingularity(*kin, code));
                ++singular;
                continue;
            }
            float back[9];
            kin->GetJoints(back);
            for (int i = 0; i < 6; ++i) {
                const double e = std::fabs(static_cast<double>(back[i]) - user[i]);
                worstJoint = std::max(worstJoint, e);
                ASSERT_LE(e, 0.01) << "joint " << i << " of " << user[0] << " " << user[1] << " " << user[2] << " "
                                   << user[3] << " " << user[4] << " " << user[5];
            }
            probe->SetJoints(back, false);
            worstPos = std::max(worstPos, Distance(probe->pose.GetTranslation(), target.GetTranslation()));
            ASSERT_LE(Distance(probe->pose.GetTranslation(), target.GetTranslation()), 0.01);
            for (int r = 0; r < 3; ++r) {
                for (int c = 0; c < 3; ++c) worstRot = std::max(worstRot, static_cast<double>(std::fabs(probe->pose(r, c) - target(r, c))));
            }
            ASSERT_LE(worstRot, 1e-4);
            ++valid;
        }
        EXPECT_EQ(valid, 10000);
        std::printf("  %s: %d round trips (%d singular skipped), worst joint %.2e deg, position %.2e mm, rotation %.2e\n",
                    cfg.front ? (cfg.up ? "front/up" : "front/down") : (cfg.up ? "back/up" : "back/down"), valid,
                    singular, worstJoint, worstPos, worstRot);
    }
}

TEST(SixAxisInverse, BackConfigurationMirrorsTheForearmAngle) {
    auto kin = LoadFixtureArm();
    // Leaning back over the base: wrist centre behind the A1 axis.
    const float user[9] = {20, -60, -150, 30, 40, 50, 0, 0, 0};
    kin->SetJoints(user, false);
    ASSERT_FALSE(kin->armFront);
    const DataTypes::Matrix44 target = kin->pose;
    float ext[9] = {};
    kin->SetPosition(target, ext);
    float back[9];
    kin->GetJoints(back);
    for (int i = 0; i < 6; ++i) EXPECT_NEAR(back[i], user[i], 1e-3) << i;
    kin->SetJoints(back, false);
    EXPECT_LT(Distance(kin->pose.GetTranslation(), target.GetTranslation()), 1e-3);
}

TEST(SixAxisInverse, JointsPassingHalfATurnDoNotJumpAFullTurn) {
    auto kin = LoadFixtureArm();  // A6 allowed -350..350
    float user[9] = {10, 20, -30, 40, 50, 178, 0, 0, 0};
    std::unique_ptr<RobotKinematic> probe(kin->clone());
    user[5] = 183;
    probe->SetJoints(user, false);
    const DataTypes::Matrix44 target = probe->pose;

    user[5] = 178;
    kin->SetJoints(user, false);
    float ext[9] = {};
    kin->SetPosition(target, ext);
    float back[9];
    kin->GetJoints(back);
    EXPECT_NEAR(back[5], 183, 1e-3);
}

TEST(SixAxisInverse, WristSignFollowsTheLastJoints) {
    for (float a5 : {-10.0f, 10.0f}) {
        auto kin = LoadFixtureArm();
        const float user[9] = {10, 20, -30, 40, a5, 60, 0, 0, 0};
        kin->SetJoints(user, false);
        EXPECT_EQ(kin->wristFlipped, a5 < 0);
        DataTypes::Matrix44 target = kin->pose;
        target(0, 3) += 1.0f;
        float ext[9] = {};
        kin->SetPosition(target, ext);
        float back[9];
        kin->GetJoints(back);
        EXPECT_EQ(back[4] < 0, a5 < 0) << a5;
        EXPECT_NEAR(back[4], a5, 1.0f);
    }
}

TEST(SixAxisConfiguration, WristBehindTheBaseAxisClearsArmFrontAndInvertsElbow) {
    RobotKinematicSixAxis kin;
    const float user[9] = {90, -60, -60, 0, 30, 0, 0, 0, 0};  // internal A3 = 30: elbow up by its sign
    kin.SetJoints(user, false);
    EXPECT_FALSE(kin.armFront);
    EXPECT_FALSE(kin.elbowUp);
    const float front[9] = {90, 30, -60, 0, 30, 0, 0, 0, 0};
    kin.SetJoints(front, false);
    EXPECT_TRUE(kin.armFront);
    EXPECT_TRUE(kin.elbowUp);
    EXPECT_FALSE(kin.wristFlipped);
}

TEST(SixAxisSingularity, CentreAxisThrows21AndLogsOncePerSeries) {
    auto kin = LoadFixtureArm();
    LogCapture log;
    float ext[9] = {};
    const DataTypes::Matrix44 nearAxis = PointingDown(50, 50, 500);  // wrist centre (50, 50, 580)
    EXPECT_EQ(ThrownCode([&] { kin->SetPosition(nearAxis, ext); }), 21);
    EXPECT_EQ(ThrownCode([&] { kin->SetPosition(nearAxis, ext); }), 21);
    EXPECT_TRUE(log.HasError("Kinematic Error: too close to center axis! 50.0 50 100"));
    EXPECT_EQ(log.CountContaining("too close to center axis"), 1);

    // An accepted Cartesian set-point ends the series.
    EXPECT_EQ(ThrownCode([&] { kin->SetPosition(PointingDown(500, 0, 300), ext); }), 0);
    EXPECT_EQ(ThrownCode([&] { kin->SetPosition(nearAxis, ext); }), 21);
    EXPECT_EQ(log.CountContaining("too close to center axis"), 2);
}

TEST(SixAxisSingularity, ReachLimitIsInclusiveAndBeyondThrows22) {
    // Shoulder at exactly 200 mm so that the distances below are exact.
    TestSupport::ScratchRoot root;
    const std::string file = root.File("Data/Robots/exact.xml");
    KinTest::WriteXmlVariant(kRobotFixture, file, [](tinyxml2::XMLElement* robot) {
        robot->FirstChildElement("Kinematic")->SetAttribute("lz0", 100);
        robot->FirstChildElement("Kinematic")->SetAttribute("lz1", 100);
    });
    auto kin = LoadArm(file);
    ASSERT_EQ(kin->lz0 + kin->lz1, 200.0f);
    LogCapture log;
    float ext[9] = {};
    // Wrist centre 730 = 350 + 400 + 0 - 20 from the shoulder, level with it.
    EXPECT_EQ(ThrownCode([&] { kin->SetPosition(PointingDown(730, 0, 120), ext); }), 0);
    EXPECT_EQ(ThrownCode([&] { kin->SetPosition(PointingDown(730.1f, 0, 120), ext); }), 22);
    EXPECT_EQ(ThrownCode([&] { kin->SetPosition(PointingDown(0, 900, 120), ext); }), 22);
    EXPECT_EQ(log.CountContaining("InvKin: OutofReach"), 1);
    EXPECT_TRUE(log.HasError("InvKin: OutofReach"));
}

TEST(SixAxisSingularity, StretchedWristThrows23AndChangesNothing) {
    auto kin = LoadFixtureArm();
    const float nearZero[9] = {10, 20, -30, 40, 2, 60, 0, 0, 0};
    kin->SetJoints(nearZero, false);
    const DataTypes::Matrix44 target = kin->pose;

    const float other[9] = {15, 25, -35, 45, 30, 65, 0, 0, 0};
    kin->SetJoints(other, false);
    const DataTypes::Matrix44 poseBefore = kin->pose;
    float jointsBefore[9];
    kin->GetJoints(jointsBefore);
    const bool front = kin->armFront, up = kin->elbowUp, flipped = kin->wristFlipped;

    LogCapture log;
    float ext[9] = {};
    EXPECT_EQ(ThrownCode([&] { kin->SetPosition(target, ext); }), 23);
    EXPECT_EQ(ThrownCode([&] { kin->SetPosition(target, ext); }), 23);
    EXPECT_EQ(log.CountContaining("InvKin: HandSingularity:"), 1);

    float jointsAfter[9];
    kin->GetJoints(jointsAfter);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(jointsAfter[i], jointsBefore[i]) << i;
    EXPECT_TRUE(kin->pose.Equals(poseBefore, 0.0f));
    EXPECT_EQ(kin->armFront, front);
    EXPECT_EQ(kin->elbowUp, up);
    EXPECT_EQ(kin->wristFlipped, flipped);
}

TEST(SixAxisInverse, JointLimitOfTheSolutionThrows) {
    auto kin = LoadFixtureArm();  // A5 within -125..125
    std::unique_ptr<RobotKinematic> probe(kin->clone());
    probe->jointLimits[4][0] = -180;
    probe->jointLimits[4][1] = 180;
    const float beyond[9] = {10, 20, -30, 40, 130, 60, 0, 0, 0};
    probe->SetJoints(beyond, false);
    const float near[9] = {10, 20, -30, 40, 120, 60, 0, 0, 0};
    kin->SetJoints(near, false);
    float ext[9] = {};
    EXPECT_EQ(ThrownCode([&] { kin->SetPosition(probe->pose, ext); }), 14);
}

TEST(SixAxisInverse, ZOffsetRaisesTargetsAndPosesStayInOneFrame) {
    RobotKinematicSixAxis kin;
    kin.forearmAngle = std::atan(kin.lz3 / (kin.lx3 + kin.lx4));
    kin.cycleTimeMs = 4;
    const float user[9] = {10, 20, -30, 40, 50, 60, 0, 0, 0};
    kin.SetJoints(user, false);
    const float zBase = kin.pose(2, 3);

    kin.zOffset = 50;
    kin.SetJoints(user, false);
    EXPECT_NEAR(kin.pose(2, 3), zBase - 50, 1e-3);
    const DataTypes::Matrix44 target = kin.pose;
    float ext[9] = {};
    kin.SetPosition(target, ext);
    float back[9];
    kin.GetJoints(back);
    for (int i = 0; i < 6; ++i) EXPECT_NEAR(back[i], user[i], 1e-3) << i;
    EXPECT_TRUE(kin.pose.Equals(target, 0.0f));
}

TEST(SixAxisMotors, DifferentialWristCouplesA5AndA6BothWays) {
    struct Case {
        const char* wrist;
        bool differential;
        bool angular;
    };
    const Case cases[] = {
        {"differential", true, false}, {"DIFFERENTIAL", true, false}, {"DiFfErEnTiAl", true, false},
        {"Angular", false, true},      {"spherical", false, false},
    };
    TestSupport::ScratchRoot root;
    for (const Case& c : cases) {
        const std::string file = root.File(std::string("Data/Robots/wrist-") + c.wrist + ".xml");
        KinTest::WriteXmlVariant(kRobotFixture, file, [&](tinyxml2::XMLElement* robot) {
            robot->FirstChildElement("Kinematic")->SetAttribute("Wrist", c.wrist);
        });
        auto kin = LoadArm(file);
        EXPECT_EQ(kin->wristDifferential, c.differential) << c.wrist;
        EXPECT_EQ(kin->wristAngular, c.angular) << c.wrist;

        float v[9] = {1, 2, 3, 7, 10, 4, 5, 6, 8};
        kin->AdaptJointsToMotors(v);
        EXPECT_EQ(v[4], c.differential ? 6 : 10) << c.wrist;
        EXPECT_EQ(v[5], c.differential ? 14 : 4) << c.wrist;
        EXPECT_EQ(v[3], 7);
        kin->AdaptMotorsToJoints(v);
        EXPECT_EQ(v[4], 10) << c.wrist;
        EXPECT_EQ(v[5], 4) << c.wrist;
    }

    RobotKinematicSixAxis kin;
    kin.wristDifferential = true;
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> any(-400.0f, 400.0f);
    for (int n = 0; n < 10000; ++n) {
        float v[9] = {};
        v[4] = any(rng);
        v[5] = any(rng);
        const float a5 = v[4], a6 = v[5];
        kin.AdaptJointsToMotors(v);
        kin.AdaptMotorsToJoints(v);
        ASSERT_NEAR(v[4], a5, 1e-4f);
        ASSERT_NEAR(v[5], a6, 1e-4f);
    }
}
