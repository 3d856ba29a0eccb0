// The factory's type names for the arms, gantries, separate joints and the
// Mardux, and the robot-file reasons and start-up values of the arms.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "ArmTestSupport.h"
#include "kinematics/KinematicFactory.h"
#include "kinematics/RobotKinematic3AxisPlane.h"
#include "kinematics/RobotKinematicCartesian1Axis.h"
#include "kinematics/RobotKinematicCartesian2AxisLine.h"
#include "kinematics/RobotKinematicCartesian2AxisPlane.h"
#include "kinematics/RobotKinematicCartesian3Axis.h"
#include "kinematics/RobotKinematicDravo4.h"
#include "kinematics/RobotKinematicDravo5.h"
#include "kinematics/RobotKinematicMardux.h"
#include "kinematics/RobotKinematicSeparateJointsLinear.h"
#include "kinematics/RobotKinematicSeparateJointsRotational.h"
#include "kinematics/RobotKinematicTuskoKid.h"

using KinTest::LogCapture;

namespace {

template <typename T>
bool Is(RobotKinematic* k) {
    return dynamic_cast<T*>(k) != nullptr;
}

}  // namespace

TEST(GeometryFactory, EveryTypeNameBuildsItsClass) {
    struct Case {
        const char* type;
        std::function<bool(RobotKinematic*)> is;
        const char* className;  // empty for the Mardux, which keeps no name
        int joints;
    };
    const Case cases[] = {
        {"Cartesian1Axis", Is<RobotKinematicCartesian1Axis>, "RobotKinematicCartesian1Axis", 3},
        {"Cartesian2AxisLine", Is<RobotKinematicCartesian2AxisLine>, "RobotKinematicCartesian2AxisLine", 2},
        {"Cartesian2AxisPlane", Is<RobotKinematicCartesian2AxisPlane>, "RobotKinematicCartesian2AxisPlane", 2},
        {"Cartesian3Axis", Is<RobotKinematicCartesian3Axis>, "RobotKinematicCartesian3Axis", 3},
        {"Cartesian", Is<RobotKinematicCartesian3Axis>, "RobotKinematicCartesian3Axis", 3},
        {"VQT3AxisPlane", Is<RobotKinematic3AxisPlane>, "RobotKinematic3AxisPlane", 3},
        {"VQTDravo4", Is<RobotKinematicDravo4>, "RobotKinematicDravo4", 4},
        {"VQTDravo5", Is<RobotKinematicDravo5>, "RobotKinematicDravo5", 5},
        {"TuskoKid", Is<RobotKinematicTuskoKid>, "RobotKinematicTuskoKid", 5},
        {"VQTMardux", Is<RobotKinematicMardux>, "", 0},
        {"SeparateJointsLinear", Is<RobotKinematicSeparateJointsLinear>, "RobotKinematicSeparateJointsLinear", 5},
        {"SeparateJoints", Is<RobotKinematicSeparateJointsLinear>, "RobotKinematicSeparateJointsLinear", 5},
        {"SeparateJointsRotational", Is<RobotKinematicSeparateJointsRotational>,
         "RobotKinematicSeparateJointsRotational", 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        KinTest::ResetSeriousFail();
        std::unique_ptr<RobotKinematic> kin = KinematicFactory::Create(c.type);
        ASSERT_NE(kin, nullptr);
        EXPECT_TRUE(c.is(kin.get()));
        EXPECT_EQ(kin->kinematicTypeName, c.className);
        EXPECT_EQ(kin->nrOfJoints, c.joints);
        EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeNormal);
        // Copies keep the class.
        std::unique_ptr<RobotKinematic> copy(kin->clone());
        EXPECT_TRUE(c.is(copy.get()));
    }
}

TEST(GeometryFactory, WrongCaseAndParallel2AxisStayUnknown) {
    for (const char* name : {"cartesian", "CARTESIAN3AXIS", "Separatejoints", "separateJointsRotational",
                             "vqtdravo4", "tuskokid", "VQTMARDUX", "Parallel2Axis"}) {
        KinTest::ResetSeriousFail();
        EXPECT_EQ(KinematicFactory::Create(name), nullptr) << name;
        EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), "10 robot type unknown") << name;
    }
    KinTest::ResetSeriousFail();
}

namespace {

class ArmRobotFile : public ::testing::Test {
protected:
    void SetUp() override { KinTest::ResetSeriousFail(); }
    void TearDown() override { KinTest::ResetSeriousFail(); }
    TestSupport::ScratchRoot m_Root;
};

struct Arm {
    const char* className;
    const char* fixture;
    std::function<RobotKinematic*()> make;
    const char* notValid;
    bool singularities;
};

const Arm kArms[] = {
    {"RobotKinematic3AxisPlane", "kin2-robot-3axisplane.xml", [] { return new RobotKinematic3AxisPlane(); },
     "52 Robot Ini not valid", true},
    {"RobotKinematicDravo4", "kin2-robot-dravo4.xml", [] { return new RobotKinematicDravo4(); },
     "52 Robot Ini not valid", true},
    {"RobotKinematicDravo5", "kin2-robot-dravo5.xml", [] { return new RobotKinematicDravo5(); },
     "52 Robot Ini not correct", true},
    {"RobotKinematicTuskoKid", "kin2-robot-tuskokid.xml", [] { return new RobotKinematicTuskoKid(); },
     "52 Robot Ini not correct", false},
};

}  // namespace

TEST_F(ArmRobotFile, BrokenFilesSetTheirReasons) {
    for (const Arm& arm : kArms) {
        SCOPED_TRACE(arm.className);
        const std::string name = arm.className;
        struct Case {
            const char* file;
            std::string content;  // empty: no file
            std::function<void(tinyxml2::XMLElement*)> edit;
            std::string reason;
            std::string error;
        };
        const Case cases[] = {
            {"missing.xml", "", nullptr, "51 Robot Ini not found", name + ": could not find robot ini file: "},
            {"broken.xml", "<Robot><Kinematic", nullptr, arm.notValid, name + ": could not read robot ini file correctly: "},
            {"noroot.xml", "<Robo/>", nullptr, "53 Robot Ini not complete", name + ": line Robot not found in robot ini file!"},
            {"nokin.xml", "", KinTest::Without("Kinematic"), "54 Robot Ini not complete",
             name + ": line Kinematic not found in robot ini file!"},
            {"nominmax.xml", "", KinTest::Without("SoftwareMinMax"), "55 Robot Ini not complete",
             name + ": line SoftwareMinMax not found in robot ini file!"},
            {"novel.xml", "", KinTest::Without("JointVelocities"), "56 Robot Ini not complete",
             "RobotKinematic: line JointVelocities not found in robot ini file!"},
            {"noconfig.xml", "", KinTest::Without("ManufacturerJointConfig"), "58 Robot Ini not complete",
             name + ": line ManufacturerJointConfig not found in robot ini file!"},
            {"nosing.xml", "", KinTest::Without("SINGULARITIES"),
             arm.singularities ? "59 Robot Ini not complete" : "na",
             arm.singularities ? name + ": line \"SINGULARITIES\" not found in robot ini file!" : ""},
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.file);
            KinTest::ResetSeriousFail();
            const std::string path = m_Root.File(std::string("Data/Robots/") + c.file);
            if (c.edit) {
                KinTest::WriteXmlVariant(arm.fixture, path, c.edit);
            } else if (!c.content.empty()) {
                TestSupport::WriteFile(path, c.content);
            }
            LogCapture log;
            std::unique_ptr<RobotKinematic> kin(arm.make());
            kin->Init("TestBot", "Type", path, -1);
            EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), c.reason);
            if (!c.error.empty()) {
                EXPECT_TRUE(log.HasErrorContaining(c.error));
            }
            // Still usable.
            kin->cycleTimeMs = 4;
            const float user[9] = {1, 2, 3, 4, 5, 0, 0, 0, 0};
            kin->SetJoints(user, false);
        }
    }
}

TEST_F(ArmRobotFile, StartUpValuesWhereTheFileSaysNothing) {
    const std::string path = m_Root.File("Data/Robots/missing.xml");
    {
        RobotKinematic3AxisPlane kin;
        kin.Init("R", "T", path, -1);
        float user[9];
        kin.GetJoints(user);
        EXPECT_EQ(user[0], 0);
        EXPECT_EQ(user[1], -20);
        EXPECT_EQ(user[2], 110);
        EXPECT_EQ(kin.jointLimits[1][0], -40);
        EXPECT_EQ(kin.jointLimits[2][1], 140);
        EXPECT_EQ(kin.maxJointAccelerationIncs[8], 100);
        EXPECT_EQ(kin.accLinInc, 2000);
        EXPECT_EQ(kin.pose.GetTranslation().z, 300);
    }
    {
        RobotKinematicDravo4 kin;
        kin.Init("R", "T", path, -1);
        EXPECT_EQ(kin.jointLimits[3][0], -150);
        EXPECT_EQ(kin.jointLimits[6][1], 150);
        EXPECT_EQ(kin.jointLimits[4][1], 0);
        EXPECT_EQ(kin.maxJointAccelerationIncs[0], 0);
        EXPECT_EQ(kin.maxJointVelocities[8], 100);
    }
    {
        RobotKinematicDravo5 kin;
        kin.Init("R", "T", path, -1);
        EXPECT_EQ(kin.pose.GetTranslation().x, 400);
        EXPECT_EQ(kin.jointLimits[8][0], -150);
        EXPECT_EQ(kin.lz2, 350);
        EXPECT_EQ(kin.singularityCenter, 100);
    }
}

TEST_F(ArmRobotFile, ArmsLogTheirKinematicData) {
    LogCapture log;
    ArmTest::LoadFixture<RobotKinematic3AxisPlane>("kin2-robot-3axisplane.xml");
    ArmTest::LoadFixture<RobotKinematicDravo4>("kin2-robot-dravo4.xml");
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeNormal);
    EXPECT_TRUE(log.Has("RK3AxisPlane TestBot / Type  - Kinematic Data: "));
    EXPECT_TRUE(log.Has("   Joint 0: Min -160.0 Max 160.0 MaxVel 31.0 JointOffset 5.0 JointDirection -1.0"));
    EXPECT_TRUE(log.Has("   Joint length: lz0 150.0, lz1 50.0, lz2 200.0, lz3 230.0, lz4 40.0"));
    EXPECT_TRUE(log.Has("RK4Axis TestBot / Type  - Kinematic Data: "));
    EXPECT_TRUE(log.Has("   Joint 3: Min -175.0 Max 175.0 MaxVel 34.0 JointOffset 0.0 JointDirection -1.0"));
    EXPECT_TRUE(log.Has("   Singularities: Center 8.0, Ellbow 25.0"));
}
