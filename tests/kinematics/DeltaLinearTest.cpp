// Linear delta: the rail geometry, trilateration forward and rail-line
// inverse kinematics, the fourth axis, refusals and the robot file.

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <random>

#include "KinTestSupport.h"
#include "kinematics/RobotKinematicDeltaLinear.h"
#include "kinematics/Trilateration.h"
#include "support/TestSupport.h"

using KinTest::Distance;
using KinTest::LogCapture;
using KinTest::ThrownCode;

namespace {

constexpr const char* kFixture = "kin3-robot-deltalinear.xml";

// Built-in geometry, no robot file read.
std::unique_ptr<RobotKinematicDeltaLinear> MakeDefault() {
    auto kin = std::make_unique<RobotKinematicDeltaLinear>();
    kin->cycleTimeMs = 4;
    return kin;
}

}  // namespace

TEST(DeltaLinear, ValuesOfTheDefaultGeometry) {
    auto kin = MakeDefault();
    EXPECT_NEAR(kin->railTop[1].x, -125, 1e-3);
    EXPECT_NEAR(kin->railBottom[2].y, -43.30, 1e-2);
    struct Case {
        float x, y, z;
        float q[3];
    };
    const Case cases[] = {
        {0, 0, 100, {139.73f, 139.73f, 139.73f}},
        {0, 0, 200, {40.60f, 40.60f, 40.60f}},
        {20, -30, 50, {192.69f, 205.84f, 193.72f}},
        {50, 0, 150, {69.02f, 101.78f, 101.78f}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.x << ", " << c.y << ", " << c.z);
        float q[9] = {};
        kin->InverseKin(KinTest::PointingDown(c.x, c.y, c.z), q);
        for (int i = 0; i < 3; ++i) EXPECT_NEAR(q[i], c.q[i], 0.01) << i;
        kin->SetJoints(q, false);
        EXPECT_LT(Distance(kin->pose.GetTranslation(), DataTypes::Vector3(c.x, c.y, c.z)), 0.01);
    }
    const float zero[9] = {}, hundred[9] = {100, 100, 100};
    kin->SetJoints(zero, false);
    EXPECT_NEAR(kin->pose(2, 3), 245.93, 0.01);
    kin->SetJoints(hundred, false);
    EXPECT_NEAR(kin->pose(2, 3), 138.19, 0.01);
    // The tool points down, its X axis along X.
    EXPECT_EQ(kin->pose(2, 2), -1);
    EXPECT_EQ(kin->pose(0, 0), 1);
}

TEST(DeltaLinear, PlatformJointAboveTheRailsLowerEndIsSolvedExactly) {
    // The angle at the rail's lower end is acute here.
    auto kin = MakeDefault();
    for (const DataTypes::Vector3 p : {DataTypes::Vector3(250, 0, 180), DataTypes::Vector3(0, 0, 380),
                                       DataTypes::Vector3(-120, 150, 300)}) {
        SCOPED_TRACE(p.ToString());
        float q[9] = {};
        kin->InverseKin(KinTest::PointingDown(p.x, p.y, p.z), q);
        for (int i = 0; i < 3; ++i) {
            EXPECT_NEAR(Distance(p + kin->tcpOffset[i], kin->carriage[i]), kin->lengthJoint, 0.01) << i;
        }
        kin->SetJoints(q, false);
        EXPECT_LT(Distance(kin->pose.GetTranslation(), p), 0.01);
    }
}

TEST(DeltaLinear, RoundTripsForAnyRailDirectionAndTool) {
    struct Geometry {
        const char* name;
        float radius1, radius2, distZ2;
        bool fourthAxis;
        bool tool;
    };
    const Geometry geometries[] = {
        {"inward rails", 250, 50, 200, false, false},
        {"inward rails, fourth axis and tool", 250, 50, 200, true, true},
        {"vertical rails", 200, 200, 300, true, false},
        {"outward rails with tool", 60, 220, 250, false, true},
        {"shallow rails", 300, 100, 60, true, true},
    };
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> travel(0, 220), turn(-170, 170);
    for (const Geometry& g : geometries) {
        SCOPED_TRACE(g.name);
        auto kin = MakeDefault();
        kin->radius1 = g.radius1;
        kin->radius2 = g.radius2;
        kin->distZ2 = g.distZ2;
        kin->fourthAxis = g.fourthAxis;
        kin->nrOfJoints = g.fourthAxis ? 4 : 3;
        kin->PrepareKinematic();
        if (g.tool) {
            DataTypes::Matrix44 t;
            t.SetRotationABCDeg2(20, 0, 0);
            t.SetTranslation(12, -7, 60);
            kin->tool.toolMatrix = t;
            kin->tool.inverseToolMatrix = t.Inverse();
        }
        std::unique_ptr<RobotKinematic> solver(kin->clone());
        float ext[9] = {};
        int taken = 0;
        for (int n = 0; n < 300; ++n) {
            float q[9] = {travel(rng), travel(rng), travel(rng), g.fourthAxis ? turn(rng) : 0.0f};
            kin->SetJoints(q, false);
            // A rod may also lean back against its rail's direction (two
            // carriage points hold the platform there); the inverse takes the
            // one nearer the rail's upper end.
            // pose · inverse tool (Matrix44 multiplies the other way round)
            const DataTypes::Vector3 platform = (kin->tool.inverseToolMatrix * kin->pose).GetTranslation();
            bool leansBack = false;
            for (int i = 0; i < 3; ++i) {
                const DataTypes::Vector3 rod = platform + kin->tcpOffset[i] - kin->carriage[i];
                if (DataTypes::Vector3::Dot(rod, kin->railDirection[i]) < 0) leansBack = true;
            }
            if (leansBack) continue;
            ++taken;
            ASSERT_EQ(ThrownCode([&] { solver->SetPosition(kin->pose, ext); }), 0) << "sample " << n;
            float back[9];
            solver->GetJoints(back);
            for (int i = 0; i < kin->nrOfJoints; ++i) {
                ASSERT_NEAR(back[i], q[i], 0.01) << "joint " << i << " sample " << n;
            }
        }
        EXPECT_GT(taken, 100);
    }
}

TEST(DeltaLinear, FourthAxisFromTheTargetsXAxis) {
    auto kin = MakeDefault();
    kin->fourthAxis = true;
    kin->nrOfJoints = 4;
    kin->jointLimits[3][0] = kin->jointLimits[3][1] = 0;  // unlimited
    struct Case {
        DataTypes::Vector3 x;
        float a4;
    };
    const Case cases[] = {{{0, 1, 0}, -90}, {{0, -1, 0}, 90}, {{1, 0, 0}, 0}, {{-1, 0, 0}, 180}};
    float ext[9] = {};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.x.ToString());
        DataTypes::Matrix44 target = KinTest::PointingDown(0, 0, 150);
        const DataTypes::Vector3 z(0, 0, -1);
        target.SetColumnVector(0, c.x);
        target.SetColumnVector(1, DataTypes::Vector3::Cross(z, c.x));
        kin->SetPosition(target, ext);
        EXPECT_NEAR(kin->joints[3], c.a4, 1e-4);
    }
}

TEST(DeltaLinear, RefusalsLeaveTheSetPointUnchanged) {
    struct Case {
        const char* name;
        int code;
        std::function<void(RobotKinematicDeltaLinear&)> act;
    };
    float ext[9] = {};
    const Case cases[] = {
        {"platform joint beyond the rod's reach", 22,
         [&](RobotKinematicDeltaLinear& k) { k.SetPosition(KinTest::PointingDown(0, 0, -250), ext); }},
        {"carriage above the rail's upper end", 13,
         [&](RobotKinematicDeltaLinear& k) { k.SetPosition(KinTest::PointingDown(0, 0, 380), ext); }},
        {"carriage past the limit", 14,
         [&](RobotKinematicDeltaLinear& k) {
             k.jointLimits[0][1] = 150;
             k.SetPosition(KinTest::PointingDown(0, 0, 80), ext);
         }},
        {"rod spheres that do not meet", 28,
         [&](RobotKinematicDeltaLinear& k) {
             const float q[9] = {0, 480, 480};
             k.lengthJoint = 150;
             k.SetJoints(q, false);
         }},
        {"not a number", 50,
         [&](RobotKinematicDeltaLinear& k) {
             const float q[9] = {std::nanf(""), 10, 10};
             k.SetJoints(q, true);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto kin = MakeDefault();
        kin->SetPosition(KinTest::PointingDown(10, -20, 150), ext);
        KinTest::ExpectRefusedUnchanged(*kin, c.code, [&] { c.act(*kin); });
    }
}

TEST(DeltaLinear, EachFailureIsLoggedOnceUntilAJointSetPointIsAccepted) {
    auto kin = MakeDefault();
    float ext[9] = {};
    LogCapture log;
    EXPECT_EQ(ThrownCode([&] { kin->SetPosition(KinTest::PointingDown(0, 0, -250), ext); }), 22);
    EXPECT_EQ(ThrownCode([&] { kin->SetPosition(KinTest::PointingDown(0, 0, -260), ext); }), 22);
    kin->SetPosition(KinTest::PointingDown(0, 0, 150), ext);  // does not re-arm the message
    EXPECT_EQ(ThrownCode([&] { kin->SetPosition(KinTest::PointingDown(0, 0, -250), ext); }), 22);
    EXPECT_EQ(log.Count("InvKin: OutofReach"), 1);
    const float q[9] = {50, 50, 50};
    kin->SetJoints(q, true);
    EXPECT_EQ(ThrownCode([&] { kin->SetPosition(KinTest::PointingDown(0, 0, -250), ext); }), 22);
    EXPECT_EQ(log.Count("InvKin: OutofReach"), 2);
}

TEST(DeltaLinear, TrilaterationVariantsAgree) {
    // Centres at one height, two at one height, and all different.
    const DataTypes::Vector3 expected(12, -7, 100);
    const DataTypes::Vector3 sets[][3] = {
        {{100, 0, 300}, {-50, 86.6f, 300}, {-50, -86.6f, 300}},
        {{100, 0, 300}, {-50, 86.6f, 320}, {-50, -86.6f, 300}},
        {{100, 0, 280}, {-50, 86.6f, 320}, {-50, -86.6f, 320}},
        {{100, 0, 280}, {-50, 86.6f, 320}, {-50, -86.6f, 300}},
    };
    for (const auto& c : sets) {
        float r[3];
        for (int i = 0; i < 3; ++i) r[i] = static_cast<float>(Distance(c[i], expected));
        DataTypes::Vector3 p;
        ASSERT_TRUE(Trilateration(c[0], c[1], c[2], r[0], r[1], r[2], &p));
        EXPECT_LT(Distance(p, expected), 1e-3) << p.ToString();
    }
    DataTypes::Vector3 untouched(1, 2, 3);
    EXPECT_FALSE(Trilateration(sets[1][0], sets[1][1], sets[1][2], 10, 10, 10, &untouched));
    EXPECT_EQ(untouched.z, 3);
}

class DeltaLinearFile : public ::testing::Test {
protected:
    void SetUp() override { KinTest::ResetSeriousFail(); }
    void TearDown() override { KinTest::ResetSeriousFail(); }

    std::unique_ptr<RobotKinematicDeltaLinear> Load(const std::string& path) {
        auto kin = std::make_unique<RobotKinematicDeltaLinear>();
        kin->Init("Lin", "DeltaLinear", path, -1);
        return kin;
    }
    std::string Variant(const std::string& name, const std::function<void(tinyxml2::XMLElement*)>& edit) {
        const std::string path = m_Root.File("Data/Robots/" + name);
        KinTest::WriteXmlVariant(kFixture, path, edit);
        return path;
    }

    TestSupport::ScratchRoot m_Root;
};

TEST_F(DeltaLinearFile, FixtureIsReadCompletely) {
    LogCapture log;
    auto kin = Load(TestSupport::FixturePath(kFixture));
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeNormal);
    EXPECT_TRUE(kin->fourthAxis);
    EXPECT_EQ(kin->nrOfJoints, 4);
    EXPECT_EQ(kin->maxLinkageAngle, 25);
    EXPECT_EQ(kin->jointLimits[3][1], 170);
    EXPECT_EQ(kin->maxJointVelocities[0], 200);
    EXPECT_EQ(kin->velTrans, 300);
    EXPECT_TRUE(log.Has("RKCartesian Lin / DeltaLinear  - Kinematic Data: "));
    EXPECT_TRUE(log.Has("Fourth Axis is available"));
    EXPECT_TRUE(log.Has(
        "   Joint 3:  Min -170.0  Max 170.0   MaxVel 180.0   MaxAcc 720.0   JointOffset 0.0   JointDirection 1.0"));
    EXPECT_EQ(kin->pose(0, 0), -1);
    EXPECT_EQ(kin->pose(2, 3), 300);
}

TEST_F(DeltaLinearFile, OtherLengthsAndMissingElements) {
    {
        auto kin = Load(Variant("longer.xml", [](tinyxml2::XMLElement* robot) {
            tinyxml2::XMLElement* k = robot->FirstChildElement("Kinematic");
            k->DeleteAttribute("FourthAxis");
            k->SetAttribute("lengthJoint", 500);
            k->SetAttribute("radius2", 80);
        }));
        EXPECT_EQ(kin->nrOfJoints, 3);
        EXPECT_FALSE(kin->fourthAxis);
        EXPECT_NEAR(kin->railBottom[0].x, 80, 1e-4);
        float q[9] = {};
        kin->InverseKin(KinTest::PointingDown(30, 40, 20), q);
        kin->SetJoints(q, false);
        EXPECT_LT(Distance(kin->pose.GetTranslation(), DataTypes::Vector3(30, 40, 20)), 0.01);
        for (int i = 0; i < 3; ++i) EXPECT_NEAR(Distance(DataTypes::Vector3(30, 40, 20) + kin->tcpOffset[i], kin->carriage[i]), 500, 0.01);
    }
    struct Case {
        const char* element;
        const char* reason;
    };
    for (const Case& c : {Case{"Kinematic", "54 Robot Ini not complete"}, Case{"Linkage", "55 Robot Ini not complete"},
                          Case{"SoftwareMinMax", "55 Robot Ini not complete"}}) {
        SCOPED_TRACE(c.element);
        KinTest::ResetSeriousFail();
        LogCapture log;
        auto kin = Load(Variant(std::string("no-") + c.element + ".xml", KinTest::Without(c.element)));
        EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), c.reason);
        EXPECT_TRUE(log.HasError(std::string("RobotKinematicDeltaLinear: line ") + c.element +
                                 " not found in robot ini file!"));
        EXPECT_EQ(kin->velTrans, 300);  // reading went on
    }
    KinTest::ResetSeriousFail();
    LogCapture log;
    auto kin = Load(m_Root.File("Data/Robots/none.xml"));
    EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), "51 Robot Ini not found");
    EXPECT_EQ(kin->lengthJoint, 400);
}
