// Two-axis linear delta: circle intersections, rails running either way,
// the Y refusal and the robot file.

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <random>
#include <stdexcept>

#include "KinTestSupport.h"
#include "kinematics/RobotKinematicDelta2Linear.h"
#include "support/TestSupport.h"

using KinTest::LogCapture;
using KinTest::ThrownCode;

namespace {

constexpr const char* kFixture = "kin3-robot-delta2linear.xml";

std::unique_ptr<RobotKinematicDelta2Linear> MakeDefault() {
    auto kin = std::make_unique<RobotKinematicDelta2Linear>();
    kin->cycleTimeMs = 4;
    return kin;
}

// The rails of the fixture: running down and outwards.
std::unique_ptr<RobotKinematicDelta2Linear> MakeDownwards() {
    auto kin = MakeDefault();
    kin->railLDZ = 350;
    kin->railRDZ = 350;
    kin->PrepareKinematic();
    return kin;
}

// The std::runtime_error text, or empty when none was thrown.
template <typename F>
std::string ErrorText(F&& f) {
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

}  // namespace

TEST(Delta2Linear, ValuesForBothRailDirections) {
    struct Case {
        const char* name;
        bool downwards;
        float a1, a2;
        float x, z;
    };
    const Case cases[] = {
        {"default rails, carriages at the first ends", false, 0, 0, 10, 152.70f},
        {"rails running down, equal", true, 50, 50, 10, 128.24f},
        {"rails running down, unequal", true, 20, 80, -26.97f, 133.37f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto kin = c.downwards ? MakeDownwards() : MakeDefault();
        const float q[9] = {c.a1, c.a2};
        kin->SetJoints(q, true);
        EXPECT_NEAR(kin->pose(0, 3), c.x, 0.01);
        EXPECT_EQ(kin->pose(1, 3), 0);
        EXPECT_NEAR(kin->pose(2, 3), c.z, 0.01);
        float back[9] = {};
        kin->InverseKin(kin->pose, back);
        EXPECT_NEAR(back[0], c.a1, 0.01);
        EXPECT_NEAR(back[1], c.a2, 0.01);
    }
}

TEST(Delta2Linear, RandomRoundTripsWithRailsEitherWayAndTool) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> travel(-5, 300);
    for (int variant = 0; variant < 4; ++variant) {
        SCOPED_TRACE(variant);
        auto kin = (variant % 2 == 0) ? MakeDefault() : MakeDownwards();
        if (variant >= 2) {
            DataTypes::Matrix44 t;
            t.SetRotationABCDeg2(0, 25, 0);
            t.SetTranslation(30, 0, 80);
            kin->tool.toolMatrix = t;
            kin->tool.inverseToolMatrix = t.Inverse();
        }
        std::unique_ptr<RobotKinematic> solver(kin->clone());
        float ext[9] = {};
        int taken = 0;
        for (int n = 0; n < 300; ++n) {
            const float q[9] = {travel(rng), travel(rng)};
            kin->SetJoints(q, false);
            // The inverse takes the upper of the two carriage points on each
            // rail's line; joints whose carriage is the lower one have no round trip.
            const DataTypes::Vector3 meet =
                (kin->tool.inverseToolMatrix * kin->pose).GetTranslation() - DataTypes::Vector3(10, 0, -20);
            bool lowerPoint = false;
            for (int r = 0; r < 2; ++r) {
                const float along = DataTypes::Vector3::Dot(meet - kin->carriage[r], kin->railDirection[r]);
                if (along * kin->railDirection[r].z > 0) lowerPoint = true;
            }
            if (lowerPoint) continue;
            ++taken;
            ASSERT_EQ(ThrownCode([&] { solver->SetPosition(kin->pose, ext); }), 0) << n;
            float back[9];
            solver->GetJoints(back);
            ASSERT_NEAR(back[0], q[0], 0.01) << n;
            ASSERT_NEAR(back[1], q[1], 0.01) << n;
        }
        EXPECT_GT(taken, 100);
    }
}

TEST(Delta2Linear, Refusals) {
    float ext[9] = {};
    {
        auto kin = MakeDownwards();
        const float far[9] = {450, 450};
        EXPECT_EQ(ErrorText([&] { kin->SetJoints(far, true); }), "Kinematics Error Delta2: not reachable");
        EXPECT_EQ(ErrorText([&] { kin->SetPosition(KinTest::PointingDown(10, 0, -400), ext); }),
                  "Kinematics Error Delta2: not reachable");
    }
    {
        // A Y within rounding is taken as 0; anything more is refused before any other check.
        auto kin = MakeDownwards();
        kin->SetPosition(KinTest::PointingDown(10, 0.001f, 128.24f), ext);
        EXPECT_NEAR(kin->joints[0], 50, 0.02);
        EXPECT_EQ(kin->pose(1, 3), 0);
        kin->virtualBoxActive = true;
        EXPECT_EQ(ErrorText([&] { kin->SetPosition(KinTest::PointingDown(10, 0.02f, 500), ext); }),
                  "Kinematics Error Delta2: Y motion is not allowed");
        EXPECT_EQ(ErrorText([&] { kin->SetPosition(KinTest::PointingDown(10, std::nanf(""), 128), ext); }),
                  "Kinematics Error Delta2: Y motion is not allowed");
    }
    {
        // Joint limits, and nothing changes on any refusal.
        auto kin = MakeDownwards();
        kin->SetPosition(KinTest::PointingDown(10, 0, 128.24f), ext);
        const DataTypes::Matrix44 pose = kin->pose;
        const float j0 = kin->joints[0], j1 = kin->joints[1];
        std::unique_ptr<RobotKinematic> other(kin->clone());
        const float q[9] = {100, 20};
        other->SetJoints(q, false);
        kin->jointLimits[0][1] = 60;
        EXPECT_EQ(ThrownCode([&] { kin->SetPosition(other->pose, ext); }), 14);
        EXPECT_EQ(ErrorText([&] { kin->SetPosition(KinTest::PointingDown(10, 0, -400), ext); }),
                  "Kinematics Error Delta2: not reachable");
        const float far[9] = {450, 450};
        EXPECT_EQ(ErrorText([&] { kin->SetJoints(far, false); }), "Kinematics Error Delta2: not reachable");
        EXPECT_EQ(kin->joints[0], j0);
        EXPECT_EQ(kin->joints[1], j1);
        EXPECT_TRUE(kin->pose.Equals(pose, 0));
    }
}

TEST(Delta2Linear, IntersectionHelpers) {
    RobotKinematicDelta2Linear kin;
    DataTypes::Vector3 s1, s2;
    // Circles that touch, overlap, and miss.
    EXPECT_EQ(kin.FindCircleCircleIntersections({0, 0, 0}, 5, {10, 0, 0}, 5, &s1, &s2), 1);
    EXPECT_NEAR(s1.x, 5, 1e-5);
    EXPECT_EQ(kin.FindCircleCircleIntersections({0, 0, 0}, 5, {6, 0, 0}, 5, &s1, &s2), 2);
    EXPECT_NEAR(std::fabs(s1.z), 4, 1e-5);
    EXPECT_NEAR(s1.z, -s2.z, 1e-5);
    EXPECT_EQ(kin.FindCircleCircleIntersections({0, 0, 0}, 5, {0, 0, 0}, 5, &s1, &s2), 0);
    EXPECT_EQ(kin.FindCircleCircleIntersections({0, 0, 0}, 5, {20, 0, 0}, 5, &s1, &s2), 0);
    // A line through the circle, one touching it, one missing it.
    EXPECT_EQ(kin.FindLineCircleIntersections({0, 0, 0}, 5, {-10, 0, 3}, {10, 0, 3}, &s1, &s2), 2);
    EXPECT_NEAR(s1.x, 4, 1e-5);
    EXPECT_NEAR(s2.x, -4, 1e-5);
    EXPECT_EQ(kin.FindLineCircleIntersections({0, 0, 0}, 5, {-10, 0, 5}, {10, 0, 5}, &s1, &s2), 1);
    EXPECT_NEAR(s1.x, 0, 1e-5);
    EXPECT_EQ(kin.FindLineCircleIntersections({0, 0, 0}, 5, {-10, 0, 6}, {10, 0, 6}, &s1, &s2), 0);
}

class Delta2LinearFile : public ::testing::Test {
protected:
    void SetUp() override { KinTest::ResetSeriousFail(); }
    void TearDown() override { KinTest::ResetSeriousFail(); }

    std::unique_ptr<RobotKinematicDelta2Linear> Load(const std::string& path) {
        auto kin = std::make_unique<RobotKinematicDelta2Linear>();
        kin->Init("Planar", "Delta2Linear", path, -1);
        kin->cycleTimeMs = 4;
        return kin;
    }

    TestSupport::ScratchRoot m_Root;
};

TEST_F(Delta2LinearFile, FixtureAndOtherLengths) {
    LogCapture log;
    auto kin = Load(TestSupport::FixturePath(kFixture));
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeNormal);
    EXPECT_TRUE(log.Has("RKDelta2Linear Planar / Delta2Linear  - Kinematic Data: "));
    EXPECT_EQ(kin->railRDZ, 350);
    EXPECT_EQ(kin->jointLimits[1][1], 450);
    EXPECT_EQ(kin->pose(0, 0), -1);
    const float q[9] = {20, 80};
    kin->SetJoints(q, true);
    EXPECT_NEAR(kin->pose(0, 3), -26.97, 0.01);

    const std::string longer = m_Root.File("Data/Robots/longer.xml");
    KinTest::WriteXmlVariant(kFixture, longer, [](tinyxml2::XMLElement* robot) {
        robot->FirstChildElement("Kinematic")->SetAttribute("lengthJoint", 520);
        robot->FirstChildElement("Kinematic")->SetAttribute("tcpHeight", 0);
    });
    auto other = Load(longer);
    other->SetJoints(q, true);
    for (int r = 0; r < 2; ++r) {
        const DataTypes::Vector3 meet = other->pose.GetTranslation() - DataTypes::Vector3(10, 0, 0);
        EXPECT_NEAR((meet - other->carriage[r]).Magnitude(), 520, 0.01) << r;
    }
}

TEST_F(Delta2LinearFile, MissingElementsSetTheirReasons) {
    struct Case {
        const char* element;
        const char* reason;
    };
    for (const Case& c : {Case{"Kinematic", "54 Robot Ini not complete"},
                          Case{"SoftwareMinMax", "55 Robot Ini not complete"},
                          Case{"JointVelocities", "56 Robot Ini not complete"}}) {
        SCOPED_TRACE(c.element);
        KinTest::ResetSeriousFail();
        const std::string path = m_Root.File(std::string("Data/Robots/no-") + c.element + ".xml");
        KinTest::WriteXmlVariant(kFixture, path, KinTest::Without(c.element));
        Load(path);
        EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), c.reason);
        EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeSeriousFail);
    }
    KinTest::ResetSeriousFail();
    const std::string broken = m_Root.File("Data/Robots/broken.xml");
    TestSupport::WriteFile(broken, "<Robot><Kinematic");
    LogCapture log;
    auto kin = Load(broken);
    EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), "52 Robot Ini not correct");
    EXPECT_TRUE(log.HasError("RobotKinematicDelta2Linear: could not read robot ini file correctly: " + broken));
    EXPECT_EQ(kin->lengthJoint, 400);
}
