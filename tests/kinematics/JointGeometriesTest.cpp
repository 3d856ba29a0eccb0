// Geometries moved by joint set-points only: the TuskoKid arm, the separate
// joints and the Mardux platform (with its planar operation).

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>

#include "ArmTestSupport.h"
#include "kinematics/RobotKinematicMardux.h"
#include "kinematics/RobotKinematicSeparateJointsLinear.h"
#include "kinematics/RobotKinematicSeparateJointsRotational.h"
#include "kinematics/RobotKinematicTuskoKid.h"

using ArmTest::SamePose;
using ArmTest::Snapshot;
using KinTest::LogCapture;
using KinTest::ThrownCode;

namespace {

class JointGeometry : public ::testing::Test {
protected:
    void SetUp() override { KinTest::ResetSeriousFail(); }
    void TearDown() override { KinTest::ResetSeriousFail(); }

    std::string Variant(const std::string& fixture, const std::string& name,
                        const std::function<void(tinyxml2::XMLElement*)>& edit) {
        const std::string path = m_Root.File("Data/Robots/" + name);
        KinTest::WriteXmlVariant(fixture, path, edit);
        return path;
    }

    TestSupport::ScratchRoot m_Root;
};

constexpr const char* kSeparate = "kin2-robot-separate.xml";

}  // namespace

// ---- TuskoKid ----

TEST_F(JointGeometry, TuskoKidForwardValues) {
    RobotKinematicTuskoKid kin;
    // Internal zero: A3 carries an offset of 90.
    const float zero[9] = {0, 0, -90, 0, 0, 0, 0, 0, 0};
    kin.SetJoints(zero, false);
    EXPECT_TRUE(SamePose(kin.pose, DataTypes::Matrix44(DataTypes::Vector3(1, 0, 0), DataTypes::Vector3(0, 1, 0),
                                                       DataTypes::Vector3(0, 0, 1),
                                                       DataTypes::Vector3(0, 0, 673.45f)),
                         1e-3, 1e-6));
    const float tilted[9] = {0, 90, -90, 0, 0, 0, 0, 0, 0};
    kin.SetJoints(tilted, false);
    EXPECT_LT(ArmTest::Distance(kin.pose.GetTranslation(), DataTypes::Vector3(475, 0, 198.45f)), 1e-3);

    // A5 turns the flange about its own Z axis without moving it.
    const float bent[9] = {20, 30, -50, 40, 0, 0, 0, 0, 0};
    kin.SetJoints(bent, false);
    const DataTypes::Matrix44 before = kin.pose;
    const float turned[9] = {20, 30, -50, 40, 65, 0, 0, 0, 0};
    kin.SetJoints(turned, false);
    EXPECT_LT(ArmTest::Distance(kin.pose.GetTranslation(), before.GetTranslation()), 1e-4);
    EXPECT_NEAR(DataTypes::Vector3::Dot(kin.pose.GetColumnVector(2), before.GetColumnVector(2)), 1, 1e-6);
    EXPECT_NEAR(DataTypes::Vector3::Dot(kin.pose.GetColumnVector(0), before.GetColumnVector(0)),
                std::cos(65 * M_PI / 180), 1e-5);
}

TEST_F(JointGeometry, TuskoKidReadsItsFileAndIgnoresCartesianSetPoints) {
    LogCapture log;
    auto kin = ArmTest::LoadFixture<RobotKinematicTuskoKid>("kin2-robot-tuskokid.xml");
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeNormal);
    EXPECT_EQ(kin->lz2, 300);
    EXPECT_EQ(kin->lz5, 60);
    EXPECT_EQ(kin->jointDirections[1], -1);
    EXPECT_EQ(kin->accLin, 1100);
    EXPECT_EQ(kin->jointLimits[1][0], -120);
    EXPECT_EQ(kin->jointLimits[2][0], -80);  // -170 + offset 90
    EXPECT_TRUE(log.Has("RKTuskoKid TestBot / Type  - Kinematic Data: "));
    EXPECT_TRUE(log.Has("   Joint length: lz0 100.0, lz1 50.0, lz2 300.0, lz3 40.0, lz4 20.0, lz5 60.0"));
    EXPECT_EQ(log.CountContaining("SINGULARITIES"), 0);

    const float user[9] = {10, 20, 30, 40, 50, 0, 0, 0, 0};
    kin->SetJoints(user, true);
    const Snapshot before(*kin);
    float ext[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    kin->SetPosition(ArmTest::PointingDown(100, 200, 300), ext);
    EXPECT_TRUE(before.Unchanged(*kin));
    // A joint beyond its limit and moving out is refused and changes nothing.
    const float beyond[9] = {10, 125, 30, 40, 50, 0, 0, 0, 0};
    EXPECT_NE(ThrownCode([&] { kin->SetJoints(beyond, true); }), 0);
    EXPECT_TRUE(before.Unchanged(*kin));
}

// ---- separate joints ----

TEST_F(JointGeometry, SeparateJointsTakeTheirCountFromTheBusConfiguration) {
    LogCapture log;
    auto kin = ArmTest::LoadFixture<RobotKinematicSeparateJointsLinear>(kSeparate);
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeNormal);
    EXPECT_EQ(kin->nrOfJoints, 3);
    EXPECT_EQ(kin->jointLimits[0][1], 60);
    EXPECT_EQ(kin->jointLimits[5][0], -3);  // read whatever the count
    EXPECT_EQ(kin->jointLimits[6][0], -100);
    EXPECT_EQ(kin->maxJointVelocities[2], 33);
    EXPECT_TRUE(log.Has("RKSeperateJointsLinear TestBot / Type  - Kinematic Data: "));
    EXPECT_EQ(log.CountContaining("   Joint "), 6);
    EXPECT_TRUE(log.Has("   Joint 5: Min -3.0 Max 3.0 MaxVel 36.0 JointOffset 0.0 JointDirection 1.0"));

    // Joints beyond the count are stored unchecked; A1 to A3 are limited.
    const float user[9] = {10, 20, 30, 50, 60, 70, 1, 2, 3};
    kin->SetJoints(user, true);
    float back[9];
    kin->GetJoints(back);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(back[i], user[i]) << i;
    const Snapshot before(*kin);
    const float beyond[9] = {61, 20, 30, 50, 60, 70, 1, 2, 3};
    EXPECT_EQ(ThrownCode([&] { kin->SetJoints(beyond, true); }), 14);
    EXPECT_TRUE(before.Unchanged(*kin));

    float ext[9] = {};
    kin->SetPosition(ArmTest::PointingDown(1, 2, 3), ext);
    EXPECT_TRUE(before.Unchanged(*kin));
    DataTypes::RobotState state;
    kin->GetPosition(&state);
    EXPECT_TRUE(state.pose.Equals(DataTypes::Matrix44(), 0.0f));
    EXPECT_EQ(state.A, 0);
}

TEST_F(JointGeometry, SeparateJointsRobotFileReasons) {
    struct Case {
        const char* name;
        std::function<void(tinyxml2::XMLElement*)> edit;
        const char* reason;
        const char* error;
        int joints;
        float a1Max;
    };
    const Case cases[] = {
        {"no-bus", KinTest::Without("BusConfiguration"), "59 Robot Ini not complete",
         "RobotKinematicSeparateJointsLinear: line BusConfiguration not found in robot ini file!", 5, 60},
        {"no-joints",
         [](tinyxml2::XMLElement* r) {
             tinyxml2::XMLElement* bus = r->FirstChildElement("BusConfiguration");
             bus->DeleteChild(bus->FirstChildElement("Joints"));
         },
         "60 Robot Ini not complete", "RobotKinematicSeparateJointsLinear: line Joints not found in robot ini file!", 5,
         60},
        {"no-minmax", KinTest::Without("SoftwareMinMax"), "55 Robot Ini not complete",
         "RobotKinematicSeparateJointsLinear: line SoftwareMinMax not found in robot ini file!", 3, 100},
        {"seven",
         [](tinyxml2::XMLElement* r) {
             r->FirstChildElement("BusConfiguration")->FirstChildElement("Joints")->SetAttribute("NrOfJoints", 7);
         },
         "60 Robot Ini not complete", "RobotKinematicSeparateJointsLinear: attribute NrOfJoints 7", 5, 60},
        {"negative",
         [](tinyxml2::XMLElement* r) {
             r->FirstChildElement("BusConfiguration")->FirstChildElement("Joints")->SetAttribute("NrOfJoints", -1);
         },
         "60 Robot Ini not complete", "RobotKinematicSeparateJointsLinear: attribute NrOfJoints -1", 5, 60},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        KinTest::ResetSeriousFail();
        LogCapture log;
        auto kin = ArmTest::Load<RobotKinematicSeparateJointsLinear>(Variant(kSeparate, c.name + std::string(".xml"),
                                                                             c.edit));
        EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), c.reason);
        EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeSeriousFail);
        EXPECT_TRUE(log.HasErrorContaining(c.error));
        EXPECT_EQ(kin->nrOfJoints, c.joints);
        EXPECT_EQ(kin->jointLimits[0][1], c.a1Max);
        // Still usable: all nine values are stored.
        const float user[9] = {0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 6, 7, 8, 9};
        kin->SetJoints(user, true);
        float back[9];
        kin->GetJoints(back);
        EXPECT_EQ(back[5], 6);
    }

    // A count that is not a number leaves 5 without a reason.
    KinTest::ResetSeriousFail();
    auto kin = ArmTest::Load<RobotKinematicSeparateJointsLinear>(
        Variant(kSeparate, "text.xml", [](tinyxml2::XMLElement* r) {
            r->FirstChildElement("BusConfiguration")->FirstChildElement("Joints")->SetAttribute("NrOfJoints", "three");
        }));
    EXPECT_EQ(kin->nrOfJoints, 5);
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeNormal);
}

TEST_F(JointGeometry, RotationalSeparateJointsDifferOnlyInTheirNames) {
    LogCapture log;
    auto kin = ArmTest::Load<RobotKinematicSeparateJointsRotational>(
        Variant(kSeparate, "rot.xml", KinTest::Without("SoftwareMinMax")));
    EXPECT_EQ(kin->kinematicTypeName, "RobotKinematicSeparateJointsRotational");
    EXPECT_TRUE(log.Has("RKSeperateJointsRotational TestBot / Type  - Kinematic Data: "));
    EXPECT_TRUE(log.HasError("RobotKinematicSeparateJointsRotational: line SoftwareMinMax not found in robot ini file!"));
    EXPECT_EQ(kin->nrOfJoints, 3);
    std::unique_ptr<RobotKinematic> copy(kin->clone());
    EXPECT_NE(dynamic_cast<RobotKinematicSeparateJointsRotational*>(copy.get()), nullptr);
    EXPECT_EQ(copy->nrOfJoints, 3);
}

// ---- Mardux ----

TEST_F(JointGeometry, MarduxPassesJointsStraightToTheWheels) {
    LogCapture log;
    RobotKinematicMardux kin;
    kin.Init("TestBot", "Type", "no file is read", -1);
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeNormal);
    EXPECT_TRUE(log.Has("RKMardux: Init"));
    EXPECT_EQ(log.CountContaining("could not"), 0);
    EXPECT_EQ(kin.nrOfJoints, 4);
    EXPECT_EQ(kin.kinematicTypeName, "");
    EXPECT_EQ(kin.maxJointVelocities[3], 100);
    EXPECT_EQ(kin.jointLimits[0][1], 0);

    kin.jointDirections[0] = -1;  // not applied by this geometry
    const float user[9] = {1000, -2000, 3e6f, NAN, 11, 12, 7, 8, 9};
    EXPECT_EQ(ThrownCode([&] { kin.SetJoints(user, true); }), 0);
    for (int i : {0, 1, 2, 6, 7, 8}) EXPECT_EQ(kin.joints[i], user[i]) << i;
    EXPECT_TRUE(std::isnan(kin.joints[3]));
    EXPECT_EQ(kin.joints[4], 0);
    EXPECT_TRUE(kin.pose.Equals(DataTypes::Matrix44(), 0.0f));

    float ext[9] = {};
    kin.SetPosition(ArmTest::PointingDown(100, 100, 100), ext);
    EXPECT_TRUE(kin.pose.Equals(DataTypes::Matrix44(), 0.0f));
    EXPECT_EQ(kin.joints[0], 1000);
}

TEST_F(JointGeometry, MarduxPlanarMovesTurnTheWheels) {
    struct Case {
        float target[4];
        float delta[4];
    };
    const Case cases[] = {
        {{314.72818f, 0, 0, 0}, {-360, -360, -360, -360}},
        {{0, 314.72818f, 0, 0}, {-360, 360, -360, 360}},
        {{0, 0, 0, 90}, {-552.305f, 552.305f, 552.305f, -552.305f}},
        {{0, 0, 0, 1}, {-6.1367f, 6.1367f, 6.1367f, -6.1367f}},
    };
    for (const Case& c : cases) {
        RobotKinematicMardux kin;
        kin.Init("TestBot", "Type", "", -1);
        float target[4] = {c.target[0], c.target[1], 12345, c.target[3]};
        kin.SetPosition(target);
        for (int i = 0; i < 4; ++i) EXPECT_NEAR(kin.joints[i], c.delta[i], 1e-3) << c.target[0] << " " << i;
        EXPECT_EQ(kin.pose(0, 3), c.target[0]);
        EXPECT_EQ(kin.pose(1, 3), c.target[1]);
        EXPECT_EQ(kin.pose(2, 3), 160);
        EXPECT_EQ(kin.poseExtra[0], c.target[3]);
        // The same target again moves nothing.
        float again[4] = {c.target[0], c.target[1], 0, c.target[3]};
        kin.SetPosition(again);
        for (int i = 0; i < 4; ++i) EXPECT_NEAR(kin.joints[i], c.delta[i], 1e-3) << i;
        DataTypes::RobotState state;
        kin.GetPosition(&state);
        EXPECT_EQ(state.A, c.target[3]);
    }
}
