// The three SCARAs: their kinematic chains, round trips in both elbow
// configurations, the reach and height refusals, angle wrapping, and the
// robot file.

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <random>

#include "KinTestSupport.h"
#include "kinematics/RobotKinematicSCARALRRR.h"
#include "kinematics/RobotKinematicSCARARRLR.h"
#include "kinematics/RobotKinematicSCARARRR.h"
#include "support/TestSupport.h"

using KinTest::LogCapture;
using KinTest::ThrownCode;

namespace {

using DataTypes::Matrix44;

// Ordinary product a·b.
Matrix44 Then(const Matrix44& a, const Matrix44& b) { return b * a; }

// Translation t, then rotation about `axis` by `deg`.
Matrix44 Link(float x, float y, float z, Matrix44::Axis axis, double deg) {
    Matrix44 m;
    m.SetRotationDeg(axis, deg);
    m.SetTranslation(x, y, z);
    return m;
}

Matrix44 Chain(std::initializer_list<Matrix44> factors) {
    Matrix44 m;
    for (const Matrix44& f : factors) m = Then(m, f);
    return m;
}

void SetTool(RobotKinematic& kin, double a, double b, double c, float x, float y, float z) {
    Matrix44 t;
    t.SetRotationABCDeg2(a, b, c);
    t.SetTranslation(x, y, z);
    kin.tool.toolMatrix = t;
    kin.tool.inverseToolMatrix = t.Inverse();
}

// User joint values of internal ones.
void ToUser(const RobotKinematic& kin, const float* internal, float* user) {
    for (int i = 0; i < 9; ++i) user[i] = kin.jointDirections[i] * (internal[i] - kin.jointOffsets[i]);
}

std::string Fixture(const char* name) { return TestSupport::FixturePath(name); }

template <typename T>
std::unique_ptr<T> Load(const std::string& path, const char* type) {
    auto kin = std::make_unique<T>();
    kin->Init("Arm", type, path, -1);
    kin->cycleTimeMs = 4;
    return kin;
}

// Flange frame with its Z axis horizontal at `deg` and X pointing down.
Matrix44 Horizontal(float x, float y, float z, double deg) {
    const float c = static_cast<float>(std::cos(deg * M_PI / 180)), s = static_cast<float>(std::sin(deg * M_PI / 180));
    Matrix44 m(DataTypes::Vector3(0, 0, -1), DataTypes::Vector3(-s, c, 0), DataTypes::Vector3(c, s, 0),
               DataTypes::Vector3(x, y, z));
    return m;
}

}  // namespace

TEST(Scara, ForwardKinematicsFollowsTheChainOfLinks) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> lin(-50, 200), rot(-170, 170);
    const auto Z = Matrix44::Z, Y = Matrix44::Y;
    for (int n = 0; n < 50; ++n) {
        const float q[9] = {lin(rng), rot(rng), rot(rng), rot(rng)};
        for (bool fourth : {false, true}) {
            SCOPED_TRACE(testing::Message() << "sample " << n << " fourth axis " << fourth);
            RobotKinematicSCARALRRR lrrr;
            lrrr.fourthAxis = fourth;
            lrrr.distz1 = 11;
            lrrr.distz2 = -7;
            lrrr.distz3 = 23;
            SetTool(lrrr, 10, 20, 30, 5, 6, 70);
            const Matrix44 T = lrrr.tool.toolMatrix;
            const Matrix44 expected =
                fourth ? Chain({Link(70, 0, 200 + q[0], Z, q[1]), Link(120, 0, 11, Z, q[2]), Link(100, 0, -7, Z, q[3]),
                                Link(30, 0, 23, Y, 180), Link(0, 0, 0, Z, 180), T})
                       : Chain({Link(70, 0, 200 + q[0], Z, q[1]), Link(120, 0, 11, Z, q[2]), Link(100, 0, -7, Y, 90),
                                Link(0, 0, 0, Z, 180), Link(0, 0, 0, Y, -90), T});
            Matrix44 got;
            float qq[9];
            std::copy(q, q + 9, qq);
            lrrr.ForwardKin(qq, &got);
            EXPECT_TRUE(got.Equals(expected, 2e-3f)) << "LRRR\n" << got.ToString() << "\n" << expected.ToString();

            RobotKinematicSCARARRLR rrlr;
            rrlr.fourthAxis = fourth;
            SetTool(rrlr, 10, 20, 30, 5, 6, 70);
            const Matrix44 rrlrExpected =
                fourth ? Chain({Link(70, 0, 200 + q[0], Z, q[1]), Link(120, 0, 0, Z, q[2]), Link(100, 0, 0, Z, q[3]),
                                Link(30, 0, 0, Y, 90), T})
                       : Chain({Link(70, 0, 200 + q[0], Z, q[1]), Link(120, 0, 0, Z, q[2]), Link(100, 0, 0, Y, 90), T});
            rrlr.ForwardKin(qq, &got);
            EXPECT_TRUE(got.Equals(rrlrExpected, 2e-3f)) << "RRLR\n" << got.ToString();
        }
        RobotKinematicSCARARRR rrr;
        rrr.h1 = 4;
        rrr.h2 = -9;
        rrr.h3 = 15;
        SetTool(rrr, 10, 20, 30, 5, 6, 70);
        const Matrix44 expected = Chain({Link(70, 0, 200, Z, q[1]), Link(120, 0, 4, Z, q[2]), Link(100, 0, -9, Z, q[3]),
                                         Link(30, 0, 15, Y, 90), rrr.tool.toolMatrix});
        const float q3[9] = {q[1], q[2], q[3]};
        float qq[9];
        std::copy(q3, q3 + 9, qq);
        Matrix44 got;
        rrr.ForwardKin(qq, &got);
        EXPECT_TRUE(got.Equals(expected, 2e-3f)) << "RRR\n" << got.ToString();
    }
}

TEST(Scara, RoundTripsInBothElbowConfigurationsWithTools) {
    struct Variant {
        const char* name;
        std::function<std::unique_ptr<RobotKinematicScara>()> make;
        int shoulder;  // index of the shoulder; the elbow follows it
        bool linearFirst;
    };
    const Variant variants[] = {
        {"LRRR fixture", [] { return Load<RobotKinematicSCARALRRR>(Fixture("kin3-robot-scara-lrrr.xml"), "SCARA-LRRR"); },
         1, true},
        {"LRRR three joints",
         [] {
             auto k = Load<RobotKinematicSCARALRRR>(Fixture("kin3-robot-scara-lrrr.xml"), "SCARA-LRRR");
             k->fourthAxis = false;
             k->nrOfJoints = 3;
             return k;
         },
         1, true},
        {"RRLR fixture", [] { return Load<RobotKinematicSCARARRLR>(Fixture("kin3-robot-scara-rrlr.xml"), "SCARA-RRLR"); },
         1, true},
        {"RRLR radius3 0",
         [] {
             auto k = Load<RobotKinematicSCARARRLR>(Fixture("kin3-robot-scara-rrlr.xml"), "SCARA-RRLR");
             k->radius3 = 0;
             return k;
         },
         1, true},
        {"RRR fixture", [] { return Load<RobotKinematicSCARARRR>(Fixture("kin3-robot-scara-rrr.xml"), "SCARA-RRR"); }, 0,
         false},
        {"RRR radius3 0",
         [] {
             auto k = Load<RobotKinematicSCARARRR>(Fixture("kin3-robot-scara-rrr.xml"), "SCARA-RRR");
             k->radius3 = 0;
             return k;
         },
         0, false},
    };
    std::mt19937 rng(23);
    std::uniform_real_distribution<float> lin(0, 240), rot(-160, 160), bend(25, 145), sign(-1, 1);
    for (const Variant& v : variants) {
        for (bool withTool : {false, true}) {
            SCOPED_TRACE(testing::Message() << v.name << (withTool ? " with tool" : ""));
            auto kin = v.make();
            if (withTool) SetTool(*kin, 30, 0, 0, 15, -8, 40);
            float ext[9] = {};
            for (int n = 0; n < 200; ++n) {
                float q[9] = {};
                int j = 0;
                if (v.linearFirst) q[j++] = lin(rng);
                q[j++] = rot(rng);
                q[j++] = sign(rng) < 0 ? -bend(rng) : bend(rng);
                if (j < kin->nrOfJoints) q[j] = rot(rng);
                float user[9];
                ToUser(*kin, q, user);
                kin->SetJoints(user, true);
                ASSERT_EQ(kin->elbowNegative, q[v.shoulder + 1] < 0);
                const Matrix44 target = kin->pose;
                ASSERT_EQ(ThrownCode([&] { kin->SetPosition(target, ext); }), 0) << n;
                for (int i = 0; i < kin->nrOfJoints; ++i) ASSERT_NEAR(kin->joints[i], q[i], 0.01) << i << " " << n;
                ASSERT_TRUE(kin->pose.Equals(target, 1e-3f));
            }
        }
    }
}

TEST(Scara, ReachOfTheDefaultArmAndItsLogLine) {
    RobotKinematicSCARALRRR kin;
    kin.cycleTimeMs = 4;
    float ext[9] = {};
    const auto down = KinTest::PointingDown;
    LogCapture log;
    EXPECT_EQ(ThrownCode([&] { kin.SetPosition(down(70 + 215, 0, 250), ext); }), 0);
    EXPECT_EQ(ThrownCode([&] { kin.SetPosition(down(70 + 215.1f, 0, 250), ext); }), 22);
    EXPECT_EQ(ThrownCode([&] { kin.SetPosition(down(70, 0, 250), ext); }), 22);  // on the A2 axis
    EXPECT_EQ(ThrownCode([&] { kin.SetPosition(down(75, 0, 250), ext); }), 22);  // closer than the arms fold
    EXPECT_EQ(log.Count("InvKin: OutofReach"), 1);
    kin.SetPosition(down(200, 50, 250), ext);
    EXPECT_EQ(ThrownCode([&] { kin.SetPosition(down(400, 0, 250), ext); }), 22);
    EXPECT_EQ(log.Count("InvKin: OutofReach"), 2);
}

TEST(Scara, ElbowSideFollowsTheLastJointSetPoint) {
    RobotKinematicSCARALRRR kin;
    kin.cycleTimeMs = 4;
    kin.jointOffsets[2] = 0;
    float ext[9] = {};
    Matrix44 target;
    target(1, 1) = -1;
    target(2, 2) = -1;
    target.SetTranslation(220, 60, 250);
    const float negative[9] = {0, 30, -40};
    kin.SetJoints(negative, false);
    kin.SetPosition(target, ext);
    EXPECT_LT(kin.joints[2], 0);
    const float a2 = kin.joints[1], a3 = kin.joints[2];
    const float positive[9] = {0, 30, 10};
    kin.SetJoints(positive, false);
    kin.SetPosition(target, ext);
    EXPECT_NEAR(kin.joints[2], -a3, 1e-3);
    EXPECT_GT(kin.joints[1], -180);
    EXPECT_LT(kin.joints[1], a2);
}

TEST(Scara, ShoulderStaysOnItsSideOfTheHalfTurn) {
    // With the shoulder at -150 and the elbow bent negative, the target lies
    // where alpha + beta is 210: the same angle a full turn away.
    RobotKinematicSCARALRRR kin;
    kin.cycleTimeMs = 4;
    kin.jointOffsets[2] = 0;
    kin.jointLimits[1][0] = -155;
    kin.jointLimits[1][1] = 155;
    const float q[9] = {10, -150, -60};
    kin.SetJoints(q, true);
    float ext[9] = {};
    const Matrix44 target = kin.pose;
    EXPECT_EQ(ThrownCode([&] { kin.SetPosition(target, ext); }), 0);
    EXPECT_NEAR(kin.joints[1], -150, 0.01);
    EXPECT_NEAR(kin.joints[2], -60, 0.01);
}

TEST(Scara, LastJointIsWrappedIntoAHalfTurnEitherSide) {
    struct Case {
        float q[9];
        float wrapped;
    };
    // Direction of the last arm q1 + q2 + q3: 200 and -200 before wrapping.
    const Case cases[] = {{{0, -100, -160}, -160}, {{0, 100, 160}, 160}, {{20, -50, 120}, 120}};
    for (const Case& c : cases) {
        RobotKinematicSCARARRR kin;
        kin.cycleTimeMs = 4;
        kin.jointOffsets[2] = 0;
        kin.SetJoints(c.q, false);
        const Matrix44 target = kin.pose;
        float ext[9] = {};
        kin.SetPosition(target, ext);
        EXPECT_NEAR(kin.joints[0], c.q[0], 0.01);
        EXPECT_NEAR(kin.joints[1], c.q[1], 0.01);
        EXPECT_NEAR(kin.joints[2], c.wrapped, 0.01);
    }
}

TEST(Scara, RRRTargetsMustLieAtTheArmsHeight) {
    RobotKinematicSCARARRR kin;
    kin.cycleTimeMs = 4;
    float ext[9] = {};
    // Flange 30 mm (radius3) beyond the wrist point along its Z axis.
    EXPECT_EQ(ThrownCode([&] { kin.SetPosition(Horizontal(250, 40, 200.0005f, 10), ext); }), 0);
    EXPECT_EQ(ThrownCode([&] { kin.SetPosition(Horizontal(250, 40, 200.002f, 10), ext); }), 22);
    EXPECT_EQ(ThrownCode([&] { kin.SetPosition(Horizontal(250, 40, 199.998f, 10), ext); }), 22);

    // A target turned about its own Z axis is reached with the X axis down.
    Matrix44 turned = Horizontal(250, 40, 200, 10);
    Matrix44 spin;
    spin.SetRotationDeg(Matrix44::Z, 40);
    turned = Then(turned, spin);
    kin.SetPosition(turned, ext);
    EXPECT_NEAR(kin.pose(2, 0), -1, 1e-5);
    EXPECT_NEAR(kin.pose(0, 3), 250, 1e-3);
    EXPECT_NEAR(kin.pose(1, 3), 40, 1e-3);
    EXPECT_NEAR(kin.joints[0] + kin.joints[1] + kin.joints[2], 10, 1e-3);
}

TEST(Scara, RRLRWristPointLiesBackAlongTheToolDirection) {
    RobotKinematicSCARARRLR kin;
    kin.cycleTimeMs = 4;
    kin.fourthAxis = true;
    kin.jointOffsets[2] = 0;
    float ext[9] = {};
    const float c = static_cast<float>(std::cos(M_PI / 6)), s = 0.5f;
    kin.SetPosition(Horizontal(200 + 30 * c, 80 + 30 * s, 260, 30), ext);
    EXPECT_NEAR(kin.joints[0], 60, 1e-3);
    EXPECT_NEAR(kin.joints[1] + kin.joints[2] + kin.joints[3], 30, 1e-3);
    // The wrist point (A2 and A3 alone) is (200, 80).
    const double t2 = kin.joints[1] * M_PI / 180, t3 = t2 + kin.joints[2] * M_PI / 180;
    EXPECT_NEAR(70 + 120 * std::cos(t2) + 100 * std::cos(t3), 200, 1e-2);
    EXPECT_NEAR(120 * std::sin(t2) + 100 * std::sin(t3), 80, 1e-2);
}

TEST(Scara, RefusalsLeaveTheSetPointUnchanged) {
    auto kin = Load<RobotKinematicSCARALRRR>(Fixture("kin3-robot-scara-lrrr.xml"), "SCARA-LRRR");
    const float q[9] = {50, 20, 30, -10};  // user values
    kin->SetJoints(q, true);
    float ext[9] = {};
    Matrix44 far = kin->pose;
    far(0, 3) = 900;
    Matrix44 low = kin->pose;
    low(2, 3) = -200;  // A1 below its minimum
    const float beyond[9] = {50, 20, 30, 179};
    const float otherElbow[9] = {50, 20, -200, 179};
    KinTest::ExpectRefusedUnchanged(*kin, 22, [&] { kin->SetPosition(far, ext); });
    KinTest::ExpectRefusedUnchanged(*kin, 13, [&] { kin->SetPosition(low, ext); });
    KinTest::ExpectRefusedUnchanged(*kin, 14, [&] { kin->SetJoints(beyond, true); });
    KinTest::ExpectRefusedUnchanged(*kin, 14, [&] { kin->SetJoints(otherElbow, true); });
    EXPECT_FALSE(kin->elbowNegative);
}

class ScaraFile : public ::testing::Test {
protected:
    void SetUp() override { KinTest::ResetSeriousFail(); }
    void TearDown() override { KinTest::ResetSeriousFail(); }

    std::string Variant(const char* fixture, const std::string& name,
                        const std::function<void(tinyxml2::XMLElement*)>& edit) {
        const std::string path = m_Root.File("Data/Robots/" + name);
        KinTest::WriteXmlVariant(fixture, path, edit);
        return path;
    }

    TestSupport::ScratchRoot m_Root;
};

TEST_F(ScaraFile, FixturesAreReadWithTheirStartUpLines) {
    {
        LogCapture log;
        auto kin = Load<RobotKinematicSCARALRRR>(Fixture("kin3-robot-scara-lrrr.xml"), "SCARA-LRRR");
        EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeNormal);
        EXPECT_EQ(kin->nrOfJoints, 4);
        EXPECT_EQ(kin->radius1, 250);
        EXPECT_EQ(kin->distz3, -30);
        EXPECT_EQ(kin->jointDirections[1], -1);
        EXPECT_EQ(kin->jointLimits[2][0], -150);  // A3 offset 90
        EXPECT_TRUE(log.Has("ScaraLRRR Arm / SCARA-LRRR  - Kinematic Data: "));
        EXPECT_TRUE(log.Has("Nr of joints:  4"));
        EXPECT_TRUE(log.Has("   Joint 2: Min -240.0 Max 60.0 MaxVel 90.0 JointOffset 90.0 JointDirection 1.0"));
        EXPECT_TRUE(log.Has("Kinematic length: hbase 180.0, distx1 60.0, radius1 250.0, radius2 200.0, radius3 40.0"));
        EXPECT_EQ(kin->pose.GetTranslation().x, 400);
    }
    {
        LogCapture log;
        auto kin = Load<RobotKinematicSCARARRLR>(Fixture("kin3-robot-scara-rrlr.xml"), "SCARA-RRLR");
        EXPECT_EQ(kin->nrOfJoints, 4);
        EXPECT_TRUE(kin->fourthAxis);
        EXPECT_EQ(kin->jointDirections[3], -1);
        EXPECT_EQ(log.CountContaining("Kinematic Data"), 0);
        EXPECT_TRUE(log.Has("Kinematic length: hbase 150.0, distx1 40.0, radius1 220.0, radius2 180.0, radius3 50.0"));
    }
    {
        LogCapture log;
        auto kin = Load<RobotKinematicSCARARRR>(Fixture("kin3-robot-scara-rrr.xml"), "SCARA-RRR");
        EXPECT_EQ(kin->nrOfJoints, 3);
        EXPECT_EQ(kin->h3, 20);
        EXPECT_EQ(kin->jointOffsets[1], 90);
        EXPECT_EQ(kin->maxJointVelocities[2], 180);
        EXPECT_TRUE(log.Has("ScaraRRR Arm / SCARA-RRR  - Kinematic Data: "));
        EXPECT_TRUE(log.Has("Nr of joints:  3"));
    }
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeNormal);
}

TEST_F(ScaraFile, FourthAxisAttribute) {
    struct Case {
        const char* value;  // null: no attribute
        int joints;
    };
    const Case cases[] = {{nullptr, 3}, {"TRUE", 4}, {"fAlSe", 3}, {"2", 4}, {"0", 3}, {"yes", 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value ? c.value : "none");
        const std::string path = Variant("kin3-robot-scara-lrrr.xml", "fourth.xml", [&](tinyxml2::XMLElement* robot) {
            tinyxml2::XMLElement* k = robot->FirstChildElement("Kinematic");
            k->DeleteAttribute("FourthAxis");
            if (c.value) k->SetAttribute("FourthAxis", c.value);
        });
        auto kin = Load<RobotKinematicSCARALRRR>(path, "SCARA-LRRR");
        EXPECT_EQ(kin->nrOfJoints, c.joints);
    }
    // Without "Kinematic" the constructor's four joints stay.
    auto kin = Load<RobotKinematicSCARALRRR>(
        Variant("kin3-robot-scara-lrrr.xml", "nokin.xml", KinTest::Without("Kinematic")), "SCARA-LRRR");
    EXPECT_EQ(kin->nrOfJoints, 4);
    EXPECT_EQ(kin->radius1, 120);
}

TEST_F(ScaraFile, MissingElementsSetTheirReasonsWithTheClassName) {
    struct Case {
        const char* fixture;
        const char* className;
        const char* element;
        const char* reason;
    };
    const Case cases[] = {
        {"kin3-robot-scara-lrrr.xml", "RobotKinematicSCARALRRR", "Kinematic", "54 Robot Ini not complete"},
        {"kin3-robot-scara-rrlr.xml", "RobotKinematicSCARARRLR", "SoftwareMinMax", "55 Robot Ini not complete"},
        {"kin3-robot-scara-rrr.xml", "RobotKinematicSCARARRR", "ManufacturerJointConfig", "58 Robot Ini not complete"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.className);
        KinTest::ResetSeriousFail();
        LogCapture log;
        const std::string path = Variant(c.fixture, std::string("no-") + c.element + ".xml", KinTest::Without(c.element));
        std::unique_ptr<RobotKinematicScara> kin;
        if (std::string(c.className) == "RobotKinematicSCARALRRR") kin = Load<RobotKinematicSCARALRRR>(path, "");
        if (std::string(c.className) == "RobotKinematicSCARARRLR") kin = Load<RobotKinematicSCARARRLR>(path, "");
        if (std::string(c.className) == "RobotKinematicSCARARRR") kin = Load<RobotKinematicSCARARRR>(path, "");
        EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), c.reason);
        EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeSeriousFail);
        EXPECT_TRUE(log.HasError(std::string(c.className) + ": line " + c.element + " not found in robot ini file!"));
        EXPECT_EQ(kin->velTrans, 300);
    }
    KinTest::ResetSeriousFail();
    LogCapture log;
    auto kin = Load<RobotKinematicSCARARRR>(m_Root.File("Data/Robots/absent.xml"), "SCARA-RRR");
    EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), "51 Robot Ini not found");
    EXPECT_GE(log.CountContaining("RobotKinematicSCARARRR: could not find robot ini file: "), 1);
    EXPECT_EQ(kin->jointLimits[0][1], 150);
}
