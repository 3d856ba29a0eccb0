// Dravo5 arm: its settings, forward values, round trips with both wrist
// redundancy handlings, the flange X direction and the lateral offset ly0,
// and the refusals of its orientation limits.

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>

#include "ArmTestSupport.h"
#include "RoundTrip.h"
#include "kinematics/KinMath.h"
#include "kinematics/RobotKinematicDravo5.h"

using ArmTest::PointingDown;
using ArmTest::SamePose;
using ArmTest::Snapshot;
using KinTest::LogCapture;
using KinTest::ThrownCode;

namespace {

constexpr const char* kFixture = "kin2-robot-dravo5.xml";

class Dravo5 : public ::testing::Test {
protected:
    void SetUp() override { KinTest::ResetSeriousFail(); }
    void TearDown() override { KinTest::ResetSeriousFail(); }

    std::unique_ptr<RobotKinematicDravo5> LoadWith(const std::string& name,
                                                   const std::function<void(tinyxml2::XMLElement*)>& kinematic) {
        const std::string path = m_Root.File("Data/Robots/" + name);
        KinTest::WriteXmlVariant(kFixture, path, [&](tinyxml2::XMLElement* robot) {
            if (kinematic) kinematic(robot->FirstChildElement("Kinematic"));
        });
        return ArmTest::Load<RobotKinematicDravo5>(path);
    }

    TestSupport::ScratchRoot m_Root;
};

// A default arm with a 4 ms cycle, as the factory leaves it before Init.
std::unique_ptr<RobotKinematicDravo5> BareArm() {
    auto kin = std::make_unique<RobotKinematicDravo5>();
    kin->cycleTimeMs = 4;
    return kin;
}

DataTypes::Matrix44 Times(const DataTypes::Matrix44& a, const DataTypes::Matrix44& b) {
    return KinMath::ToMatrix(KinMath::Mul(KinMath::FromMatrix(a), KinMath::FromMatrix(b)));
}

// Longer links than the built-in ones, so that the targets below are in reach.
std::unique_ptr<RobotKinematicDravo5> RoomyArm() {
    auto kin = BareArm();
    kin->lz2 = 300;
    kin->lz3 = 260;
    kin->singularityCenter = 40;
    return kin;
}

// Refusals of a round trip must lie at the centre axis (or within ly0 of
// it) or beyond the arm's reach.
std::function<bool(int, const DataTypes::Matrix44&)> RealRefusal(const RobotKinematicDravo5& kin, float toolZ) {
    return [&kin, toolZ](int code, const DataTypes::Matrix44& f) {
        const DataTypes::Vector3 a = f.GetColumnVector(2);
        const DataTypes::Vector3 p = f.GetTranslation() - a * (kin.lz4 + kin.lz5);
        const DataTypes::Vector3 tcp = f.GetTranslation() + a * toolZ;
        const double c = kin.singularityCenter + 1e-3;
        const double rr = std::hypot(p.x, p.y);
        const double ly = std::fabs(kin.ly0) + 1e-2;
        if (code == 21) {
            return (std::fabs(p.x) < c && std::fabs(p.y) < c) || rr <= ly || std::hypot(tcp.x, tcp.y) <= ly;
        }
        if (code == 22) {
            const double r = std::sqrt(std::max(0.0, rr * rr - static_cast<double>(kin.ly0) * kin.ly0));
            const double h = p.z - (kin.lz0 + kin.lz1);
            const double d = std::hypot(r, h);
            return d > kin.lz2 + kin.lz3 - kin.singularityEllbow - 1e-3 || d < std::fabs(kin.lz2 - kin.lz3) + 1e-3;
        }
        return false;
    };
}

}  // namespace

TEST_F(Dravo5, WristRedundancyHandlingIsReadInAnyLetterCase) {
    struct Case {
        const char* text;  // null: attribute absent
        int handling;
    };
    const Case cases[] = {{"Type2", 1}, {"TYPE2", 1}, {"type2", 1}, {"type1", 0},
                          {"Standard", 0}, {"sideways", 0}, {nullptr, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text ? c.text : "absent");
        LogCapture log;
        auto kin = LoadWith("handling.xml", [&](tinyxml2::XMLElement* k) {
            if (c.text) {
                k->SetAttribute("WristRedundancyHandling", c.text);
            } else {
                k->DeleteAttribute("WristRedundancyHandling");
            }
        });
        EXPECT_EQ(kin->wristRedundancyHandling, c.handling);
        EXPECT_TRUE(log.Has(c.handling == 1 ? "RobotKinematicDravo5: Wrist redundancy handling: type2"
                                            : "RobotKinematicDravo5: Wrist redundancy handling: standard"));
    }
}

TEST_F(Dravo5, FixtureIsReadAndLogged) {
    LogCapture log;
    auto kin = ArmTest::LoadFixture<RobotKinematicDravo5>(kFixture);
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeNormal);
    EXPECT_EQ(kin->lz2, 300);
    EXPECT_EQ(kin->lz5, 70);
    EXPECT_EQ(kin->singularityCenter, 40);
    EXPECT_EQ(kin->jointDirections[4], -1);
    EXPECT_EQ(kin->jointOffsets[4], 15);
    EXPECT_EQ(kin->maxJointVelocities[4], 35);
    EXPECT_EQ(kin->maxJointVelocities[5], 36);
    EXPECT_EQ(kin->accLin, 1100);
    // A5 -350..350 in user units, direction -1 and offset 15.
    EXPECT_EQ(kin->jointLimits[4][0], -335);
    EXPECT_EQ(kin->jointLimits[4][1], 365);
    // Not in the file: Init's default.
    EXPECT_EQ(kin->jointLimits[5][0], -150);
    EXPECT_TRUE(log.Has("RK5Axis TestBot / Type  - Kinematic Data: "));
    EXPECT_TRUE(log.Has("   Joint 4: Min -350.0 Max 350.0 MaxVel 35.0 JointOffset 15.0 JointDirection -1.0"));
    EXPECT_TRUE(log.Has("   Joint length: lz0 120.0, lz1 80.0, lz2 300.0, lz3 260.0, lz4 20.0, lz5 70.0, ly0 0.0"));
    EXPECT_TRUE(log.Has("   Singularities: Center 40.0, Ellbow 15.0"));
    EXPECT_TRUE(log.Has("TCP X-Direction points backwards (legacy setting) - Change in robot ini file, line "
                        "\"Kinematic\", tag \"TCPXDirToFront\""));
}

TEST_F(Dravo5, ForwardValuesAndTheFlangeXDirection) {
    const float zero[9] = {0, 0, -90, 0, 0, 0, 0, 0, 0};  // internal 0: A3 carries an offset of 90
    auto bare = BareArm();
    bare->SetJoints(zero, false);
    EXPECT_LT(ArmTest::Distance(bare->pose.GetTranslation(), DataTypes::Vector3(0, 0, 673.45f)), 1e-3);

    auto kin = RoomyArm();

    const float user[9] = {20, 30, -40, 30, 0, 0, 0, 0, 0};
    kin->SetJoints(user, false);
    const DataTypes::Matrix44 backwards = kin->pose;
    kin->tcpXDirToFront = true;
    kin->SetJoints(user, false);
    const DataTypes::Matrix44 forwards = kin->pose;
    DataTypes::Matrix44 half;
    half.SetRotationDeg(DataTypes::Matrix44::Z, -180);
    EXPECT_TRUE(SamePose(forwards, Times(backwards, half), 1e-3, 1e-5));

    float ext[9] = {};
    ASSERT_EQ(ThrownCode([&] { kin->SetPosition(forwards, ext); }), 0);
    float back[9];
    kin->GetJoints(back);
    EXPECT_NEAR(back[4], 0, 1e-3);
}

TEST_F(Dravo5, LateralOffsetMovesTheFlangeAlongTheWristY) {
    auto kin = BareArm();
    const float user[9] = {30, 20, -50, 40, 10, 0, 0, 0, 0};
    kin->SetJoints(user, false);
    const DataTypes::Matrix44 plain = kin->pose;
    kin->ly0 = 25;
    kin->SetJoints(user, false);
    const DataTypes::Vector3 shift = kin->pose.GetTranslation() - plain.GetTranslation();
    // -ly0 along the turned arm's Y axis (A1 = 30 degrees).
    EXPECT_NEAR(shift.x, 25 * std::sin(30 * M_PI / 180), 1e-3);
    EXPECT_NEAR(shift.y, -25 * std::cos(30 * M_PI / 180), 1e-3);
    EXPECT_NEAR(shift.z, 0, 1e-3);
}

TEST_F(Dravo5, RoundTripsInEveryConfiguration) {
    struct Case {
        const char* name;
        const char* handling;
        float ly0;
        bool xToFront;
        const char* tool;
        float toolZ;
    };
    const Case cases[] = {
        {"standard", "standard", 0, false, "kin2-tool-zturn.xml", 90},
        {"standard, ly0 and X to front", "standard", 35, true, "kin2-tool-zturn.xml", 90},
        {"type2", "type2", 0, false, "kin-tool-gripper.xml", 0},
        {"type2, ly0 and X to front", "type2", -25, true, "kin-tool-gripper.xml", 0},
    };
    uint32_t seed = 50;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto kin = LoadWith("roundtrip.xml", [&](tinyxml2::XMLElement* k) {
            k->SetAttribute("WristRedundancyHandling", c.handling);
            k->SetAttribute("ly0", c.ly0);
            k->SetAttribute("TCPXDirToFront", c.xToFront);
        });
        ASSERT_EQ(kin->ly0, c.ly0);
        ASSERT_EQ(kin->tcpXDirToFront, c.xToFront);
        ArmTest::UseTool(*kin, c.tool);
        ArmTest::RoundTripOptions o;
        o.joints = 5;
        o.elbow = 2;
        o.wanted = 1000;
        o.seed = ++seed;
        ArmTest::CheckRoundTrips(*kin, o, RealRefusal(*kin, c.toolZ));
    }
}

TEST_F(Dravo5, Type2UprightMotionMustNotTurnIntoFreeMotionWithoutAJointMove) {
    auto kin = RoomyArm();
    kin->wristRedundancyHandling = 1;
    const float user[9] = {20, 30, -40, 30, 0, 0, 0, 0, 0};
    kin->SetJoints(user, false);
    EXPECT_EQ(kin->toolCompState, 2);
    float ext[9] = {};

    const DataTypes::Matrix44 down = PointingDown(400, 100, 200);
    ASSERT_EQ(ThrownCode([&] { kin->SetPosition(down, ext); }), 0);
    EXPECT_EQ(kin->toolCompState, 1);
    float back[9];
    kin->GetJoints(back);
    std::unique_ptr<RobotKinematic> probe(kin->clone());
    EXPECT_EQ(static_cast<RobotKinematicDravo5*>(probe.get())->toolCompState, 0);
    probe->SetJoints(back, false);
    EXPECT_TRUE(SamePose(probe->pose, down));

    DataTypes::Matrix44 tilted;
    tilted.SetRotationABCDeg2(20, 165, 10);
    tilted.SetTranslation(400, 100, 200);
    const Snapshot before(*kin);
    try {
        kin->SetPosition(tilted, ext);
        ADD_FAILURE() << "tilted target accepted in upright motion";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(),
                     "ToolComp type2: cannot change from upright motion to free motion. Please use joint command "
                     "in between!");
    }
    EXPECT_TRUE(before.Unchanged(*kin));

    kin->SetJoints(back, false);
    EXPECT_EQ(ThrownCode([&] { kin->SetPosition(tilted, ext); }), 0);
    EXPECT_EQ(kin->toolCompState, 2);
}

TEST_F(Dravo5, Type2TurnsTheToolAboutTheVerticalUntilTheFlangeIsInTheArmPlane) {
    auto kin = RoomyArm();
    kin->wristRedundancyHandling = 1;
    ArmTest::UseTool(*kin, "kin2-tool-side.xml");  // centre point 100 mm beside the flange axis
    const float user[9] = {20, 30, -40, 30, 0, 0, 0, 0, 0};
    kin->SetJoints(user, false);
    DataTypes::Matrix44 target;
    target.SetRotationABCDeg2(70, 140, 30);
    target.SetTranslation(450, 150, 250);
    ASSERT_GT(kin->GetErrorForAngle(0, target) * 180 / M_PI, 1.0);

    const DataTypes::Matrix44 flange = kin->LimitOrientationType2(target);
    // The flange lies in the arm's plane, the tool centre point stays and only the heading changed.
    const double cross = flange(0, 3) * flange(1, 2) - flange(1, 3) * flange(0, 2);
    EXPECT_NEAR(cross / std::hypot(flange(0, 3), flange(1, 3)) / std::hypot(flange(0, 2), flange(1, 2)), 0, 2e-4);
    const DataTypes::Matrix44 tcp = Times(flange, kin->tool.toolMatrix);
    EXPECT_LT(ArmTest::Distance(tcp.GetTranslation(), target.GetTranslation()), 1e-3);
    EXPECT_NEAR(tcp(2, 2), target(2, 2), 1e-5);

    float ext[9] = {};
    ASSERT_EQ(ThrownCode([&] { kin->SetPosition(target, ext); }), 0);
    float back[9];
    kin->GetJoints(back);
    std::unique_ptr<RobotKinematic> probe(kin->clone());
    probe->SetJoints(back, false);
    EXPECT_TRUE(SamePose(probe->pose, tcp, 0.02, 1e-4));
}

TEST_F(Dravo5, Type2SearchEndsWithTheBestAngleWhenNoneFits) {
    auto kin = BareArm();
    kin->wristRedundancyHandling = 1;
    ArmTest::UseTool(*kin, "kin2-tool-side.xml");
    kin->toolCompState = 2;
    // Tool centre point on the base axis: turning about it turns the flange's
    // position and approach alike, so every angle leaves the same error.
    DataTypes::Matrix44 target;
    target.SetRotationDeg(DataTypes::Matrix44::Y, 40);
    target.SetTranslation(0, 0, 500);
    const double e0 = kin->GetErrorForAngle(0, target);
    EXPECT_GT(e0, 0.1);
    EXPECT_NEAR(kin->GetErrorForAngle(1.0, target), e0, 1e-5);
    // The best of equal errors: the tool centre point and its tilt stay.
    const DataTypes::Matrix44 flange = kin->LimitOrientationType2(target);
    const DataTypes::Matrix44 tcp = Times(flange, kin->tool.toolMatrix);
    EXPECT_LT(ArmTest::Distance(tcp.GetTranslation(), target.GetTranslation()), 1e-3);
    EXPECT_NEAR(tcp(2, 2), target(2, 2), 1e-5);
    EXPECT_EQ(kin->toolCompState, 2);
}

TEST_F(Dravo5, StandardLimitPassesAReachableTargetUnchanged) {
    auto kin = BareArm();
    ArmTest::UseTool(*kin, "kin2-tool-zturn.xml");
    const float user[9] = {-35, 25, -30, 50, 70, 0, 0, 0, 0};
    kin->SetJoints(user, false);
    const DataTypes::Matrix44 flange = kin->LimitOrientationStandard(kin->pose);
    EXPECT_TRUE(SamePose(flange, Times(kin->pose, kin->tool.inverseToolMatrix), 1e-3, 1e-5));
}

TEST_F(Dravo5, StandardLimitKeepsTheToolCentrePointForToolsOffsetAcrossTheApproach) {
    auto kin = BareArm();
    ArmTest::UseTool(*kin, "kin2-tool-side.xml");
    DataTypes::Matrix44 target;
    target.SetRotationABCDeg2(60, 130, -40);  // approach out of the plane through the tool centre point
    target.SetTranslation(350, 200, 300);
    const DataTypes::Matrix44 flange = kin->LimitOrientationStandard(target);
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(flange.GetColumnVector(c).Magnitude(), 1.0f, 1e-5) << c;
    EXPECT_NEAR(DataTypes::Vector3::Dot(flange.GetColumnVector(0), flange.GetColumnVector(1)), 0, 1e-5);
    const DataTypes::Matrix44 tcp = Times(flange, kin->tool.toolMatrix);
    EXPECT_LT(ArmTest::Distance(tcp.GetTranslation(), target.GetTranslation()), 1e-3);
    // The approach now lies in the vertical plane through the base axis and the tool centre point.
    const double cross = tcp(0, 3) * tcp(1, 2) - tcp(1, 3) * tcp(0, 2);
    EXPECT_NEAR(cross, 0, 1e-2);
}

TEST_F(Dravo5, CentreAxisAndLateralOffsetRefusals) {
    auto kin = BareArm();
    float ext[9] = {};
    {
        LogCapture log;
        const DataTypes::Matrix44 nearAxis = PointingDown(50, 50, 400);
        const Snapshot before(*kin);
        EXPECT_EQ(ThrownCode([&] { kin->SetPosition(nearAxis, ext); }), 21);
        EXPECT_EQ(ThrownCode([&] { kin->SetPosition(nearAxis, ext); }), 21);
        EXPECT_TRUE(log.HasError("Kinematic Error: too close to center axis! 50.0 50 100"));
        EXPECT_EQ(log.CountContaining("too close to center axis"), 1);
        EXPECT_TRUE(before.Unchanged(*kin));
    }
    // Outside the centre box, but nearer to the axis than the arm plane lies beside it.
    kin->ly0 = 150;
    kin->errorLogged = false;
    EXPECT_EQ(ThrownCode([&] { kin->SetPosition(PointingDown(120, 0, 400), ext); }), 21);
    for (const int type : {0, 1}) {
        kin->wristRedundancyHandling = type;
        kin->toolCompState = 2;
        EXPECT_EQ(ThrownCode([&] { kin->SetPosition(PointingDown(120, 0, 400), ext); }), 21) << type;
    }
}

TEST_F(Dravo5, StandardLimitRefusesAnApproachAcrossItsPlane) {
    auto kin = BareArm();
    DataTypes::Matrix44 across;
    across.SetRotationDeg(DataTypes::Matrix44::X, -90);  // approach along +Y
    across.SetTranslation(400, 0, 300);
    LogCapture log;
    float ext[9] = {};
    EXPECT_EQ(ThrownCode([&] { kin->SetPosition(across, ext); }), 22);
    EXPECT_EQ(log.CountContaining("InvKin: OutofReach"), 1);
}
