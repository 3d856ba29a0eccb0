// Reading the kinematic elements of the robot configuration file, the
// serious-fail reasons of a broken file, and the choice of geometry by type name.

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>

#include "KinTestSupport.h"
#include "kinematics/KinematicFactory.h"
#include "kinematics/RobotKinematicSixAxis.h"
#include "support/TestSupport.h"

using KinTest::LogCapture;

namespace {

constexpr const char* kRobotFixture = "kin-robot-sixaxis.xml";

class RobotFile : public ::testing::Test {
protected:
    void SetUp() override { KinTest::ResetSeriousFail(); }
    void TearDown() override { KinTest::ResetSeriousFail(); }

    std::string Variant(const std::string& name, const std::function<void(tinyxml2::XMLElement*)>& edit) {
        const std::string path = m_Root.File("Data/Robots/" + name);
        KinTest::WriteXmlVariant(kRobotFixture, path, edit);
        return path;
    }

    std::unique_ptr<RobotKinematicSixAxis> Load(const std::string& path, int velocitySet = -1) {
        auto kin = std::make_unique<RobotKinematicSixAxis>();
        kin->Init("TestBot", "StandardSixAxisPlus", path, velocitySet);
        return kin;
    }

    TestSupport::ScratchRoot m_Root;
};

}  // namespace

TEST_F(RobotFile, GoodFileIsReadCompletely) {
    LogCapture log;
    auto kin = Load(TestSupport::FixturePath(kRobotFixture));
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeNormal);
    EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), "na");

    EXPECT_EQ(kin->robotName, "TestBot");
    EXPECT_EQ(kin->robotType, "StandardSixAxisPlus");
    EXPECT_EQ(kin->velocitySet, 0);
    EXPECT_FLOAT_EQ(kin->lz0, 122.15f);
    EXPECT_FLOAT_EQ(kin->lz3, 45);
    EXPECT_FLOAT_EQ(kin->lx6, 80);
    EXPECT_TRUE(kin->wristAngular);
    EXPECT_FALSE(kin->wristDifferential);
    EXPECT_FLOAT_EQ(kin->forearmAngle, std::atan(45.0f / 400.0f));

    // Limits are stored in internal units: A1 has direction -1, A3 offset 90, A6 offset 10.
    EXPECT_EQ(kin->jointLimits[0][0], -170);
    EXPECT_EQ(kin->jointLimits[0][1], 170);
    EXPECT_EQ(kin->jointLimits[2][0], -85);
    EXPECT_EQ(kin->jointLimits[2][1], 265);
    EXPECT_EQ(kin->jointLimits[5][0], -340);
    EXPECT_EQ(kin->jointLimits[5][1], 360);
    EXPECT_EQ(kin->jointDirections[3], -1);
    EXPECT_EQ(kin->jointOffsets[2], 90);

    EXPECT_EQ(kin->maxJointVelocities[0], 40);
    EXPECT_EQ(kin->maxJointVelocities[8], 102);
    EXPECT_EQ(kin->maxJointAccelerations[5], 405);
    EXPECT_EQ(kin->maxJointAccelerationIncs[6], 1206);
    EXPECT_EQ(kin->velTrans, 250);
    EXPECT_EQ(kin->velOri, 90);
    EXPECT_EQ(kin->accLin, 1500);
    EXPECT_EQ(kin->accLinInc, 4500);
    EXPECT_EQ(kin->accOri, 800);
    EXPECT_EQ(kin->accOriInc, 2400);
    EXPECT_EQ(kin->singularityWrist, 5);
    EXPECT_EQ(kin->singularityCenter, 100);
    EXPECT_EQ(kin->singularityEllbow, 20);
    EXPECT_EQ(kin->pose.GetTranslation().x, 400);
    EXPECT_EQ(kin->pose.GetTranslation().y, 50);

    EXPECT_TRUE(log.Has("RKSixAxis TestBot / StandardSixAxisPlus  - Kinematic Data: "));
    EXPECT_TRUE(log.Has(
        "   Joint 2: Min -175.0 Max 175.0 MaxVel 42.0 MaxAcc 402.0 JointOffset 90.0 JointDirection 1.0"));
    EXPECT_TRUE(log.Has(
        "   Joint length: lz0 122.2, lx1 0.0, lz1 76.3, lx2 350.0, lx3 400.0, lz3 45.0, lx4 0.0, lx6 80.0"));
    EXPECT_TRUE(log.Has("   Singularities: Center 100.0, Ellbow 20.0 Wrist 5.0"));
    EXPECT_EQ(log.CountContaining("not found in robot ini file"), 0);
}

TEST_F(RobotFile, MissingMandatoryPartsSetTheirReasonAndReadingGoesOn) {
    struct Case {
        const char* name;
        std::function<void(tinyxml2::XMLElement*)> edit;
        const char* reason;
        const char* errorLine;
    };
    const Case cases[] = {
        {"no-kinematic", KinTest::Without("Kinematic"), "54 Robot Ini not complete",
         "RobotKinematicSixAxis: line Kinematic not found in robot ini file!"},
        {"no-minmax", KinTest::Without("SoftwareMinMax"), "55 Robot Ini not complete",
         "RobotKinematicSixAxis: line SoftwareMinMax not found in robot ini file!"},
        {"no-jointvel", KinTest::Without("JointVelocities"), "56 Robot Ini not complete",
         "RobotKinematic: line JointVelocities not found in robot ini file!"},
        {"no-jointacc", KinTest::Without("JointAccelerations"), "57 Robot Ini not complete",
         "RobotKinematic: line JointAccelerations not found in robot ini file!"},
        {"no-jointconfig", KinTest::Without("ManufacturerJointConfig"), "58 Robot Ini not complete",
         "RobotKinematicSixAxis: line ManufacturerJointConfig not found in robot ini file!"},
        {"no-singularities", KinTest::Without("SINGULARITIES"), "59 Robot Ini not complete",
         "RobotKinematicSixAxis: line \"SINGULARITIES\" not found in robot ini file!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        KinTest::ResetSeriousFail();
        LogCapture log;
        auto kin = Load(Variant(std::string(c.name) + ".xml", c.edit));
        EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), c.reason);
        EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeSeriousFail);
        EXPECT_TRUE(log.HasError(c.errorLine));
        // The elements after the missing one are still read.
        EXPECT_EQ(kin->accOriInc, 2400);
        // The object stays usable.
        const float user[9] = {10, 20, -30, 40, 50, 60, 0, 0, 0};
        kin->SetJoints(user, false);
    }
}

TEST_F(RobotFile, UnreadableFileStopsReadingWithItsReason) {
    struct Case {
        const char* name;
        std::string content;  // empty: no file at all
        const char* reason;
        std::string errorStart;
    };
    const Case cases[] = {
        {"missing.xml", "", "51 Robot Ini not found", "RobotKinematicSixAxis: could not find robot ini file: "},
        {"broken.xml", "<Robot><Kinematic lz0=\"1\"></Robot", "52 Robot Ini not correct",
         "RobotKinematicSixAxis: could not read robot ini file correctly: "},
        {"noroot.xml", "<Robo><Kinematic lz0=\"1\"/></Robo>", "53 Robot Ini not complete",
         "RobotKinematicSixAxis: line Robot not found in robot ini file!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        KinTest::ResetSeriousFail();
        const std::string path = m_Root.File(std::string("Data/Robots/") + c.name);
        if (!c.content.empty()) TestSupport::WriteFile(path, c.content);
        LogCapture log;
        auto kin = Load(path);
        EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), c.reason);
        EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeSeriousFail);
        EXPECT_GE(log.CountContaining(c.errorStart), 1);
        // Nothing was read: the built-in geometry and Init's defaults stay.
        EXPECT_FLOAT_EQ(kin->lz0, 122.15f);
        EXPECT_EQ(kin->maxJointVelocities[0], 20);
        EXPECT_EQ(kin->jointLimits[0][1], 120);
    }
}

TEST_F(RobotFile, OptionalVelocityElementsOnlyLogAndKeepDefaults) {
    struct Case {
        const char* element;
        const char* errorLine;
    };
    const Case cases[] = {
        {"JointAccelerationIncs", "RobotKinematic: line JointAccelerationIncs not found in robot ini file!"},
        {"CartVelocities", "RobotKinematic: line CartVelocities not found in robot ini file!"},
        {"CartAccelerations", "RobotKinematic: line CartAccelerations not found in robot ini file!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.element);
        KinTest::ResetSeriousFail();
        LogCapture log;
        auto kin = Load(Variant(std::string(c.element) + ".xml", KinTest::Without(c.element)));
        EXPECT_TRUE(log.HasError(c.errorLine));
        EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeNormal);
        EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), "na");
        if (std::string(c.element) == "CartVelocities") {
            EXPECT_EQ(kin->velTrans, 100);
            EXPECT_EQ(kin->velOri, 180);
        }
        if (std::string(c.element) == "CartAccelerations") {
            EXPECT_EQ(kin->accLin, 1000);
            EXPECT_EQ(kin->accOriInc, 3000);
        }
        if (std::string(c.element) == "JointAccelerationIncs") {
            EXPECT_EQ(kin->maxJointAccelerationIncs[0], 0);
        }
    }
}

TEST_F(RobotFile, LaterMissingElementReplacesTheEarlierReason) {
    const std::string path = Variant("two-missing.xml", [](tinyxml2::XMLElement* robot) {
        KinTest::Without("JointVelocities")(robot);
        KinTest::Without("ManufacturerJointConfig")(robot);
    });
    Load(path);
    EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), "58 Robot Ini not complete");
}

TEST_F(RobotFile, VelocitySetChoosesItsElementsAndFallsBackToThePlainOnes) {
    const std::string withZero = Variant("vel0.xml", [](tinyxml2::XMLElement* robot) {
        tinyxml2::XMLElement* e = robot->GetDocument()->NewElement("JointVelocities0");
        e->SetAttribute("A1", 7);
        robot->InsertEndChild(e);
    });
    struct Case {
        const char* name;
        std::string file;
        int velocitySet;
        float a1;
        float a2;
    };
    const Case cases[] = {
        {"set 1 present", TestSupport::FixturePath(kRobotFixture), 1, 10, 11},
        {"set 2 absent", TestSupport::FixturePath(kRobotFixture), 2, 40, 41},
        {"no set, plain only", TestSupport::FixturePath(kRobotFixture), -1, 40, 41},
        {"no set prefers set 0", withZero, -1, 7, 20},
    };
    for (const Case& c : cases) {
        auto kin = Load(c.file, c.velocitySet);
        EXPECT_EQ(kin->maxJointVelocities[0], c.a1) << c.name;
        EXPECT_EQ(kin->maxJointVelocities[1], c.a2) << c.name;
    }
}

TEST_F(RobotFile, UnusableAttributeValuesKeepTheirDefaults) {
    const std::string path = Variant("bad-values.xml", [](tinyxml2::XMLElement* robot) {
        tinyxml2::XMLElement* k = robot->FirstChildElement("Kinematic");
        k->SetAttribute("lx2", "nan");
        k->SetAttribute("lx3", "inf");
        k->SetAttribute("lz3", "forty");
        robot->FirstChildElement("ManufacturerJointConfig")->SetAttribute("A2Dir", "0");
        robot->FirstChildElement("ManufacturerJointConfig")->SetAttribute("A5Dir", "2");
        robot->FirstChildElement("CartVelocities")->SetAttribute("VelTrans", "-nan");
    });
    LogCapture log;
    auto kin = Load(path);
    EXPECT_EQ(kin->lx2, 350);
    EXPECT_EQ(kin->lx3, 400);
    EXPECT_EQ(kin->lz3, 45);
    EXPECT_EQ(kin->jointDirections[1], 1);
    EXPECT_EQ(kin->jointDirections[4], 1);
    EXPECT_EQ(kin->velTrans, 100);
    EXPECT_EQ(log.CountContaining("A2Dir must be 1 or -1"), 1);
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeNormal);
}

TEST(KinematicFactory, SixAxisTypeCreatesTheArm) {
    KinTest::ResetSeriousFail();
    std::unique_ptr<RobotKinematic> kin = KinematicFactory::Create("StandardSixAxisPlus");
    ASSERT_NE(kin, nullptr);
    EXPECT_NE(dynamic_cast<RobotKinematicSixAxis*>(kin.get()), nullptr);
    EXPECT_EQ(kin->kinematicTypeName, "RobotKinematicSixAxis");
    EXPECT_EQ(kin->nrOfJoints, 6);
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeNormal);
}

TEST(KinematicFactory, UnknownNamesSetReason10) {
    for (const char* name : {"standardsixaxisplus", "Parallel2Axis", "", "NoSuchRobot"}) {
        KinTest::ResetSeriousFail();
        LogCapture log;
        EXPECT_EQ(KinematicFactory::Create(name), nullptr) << name;
        EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), "10 robot type unknown") << name;
        EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeSeriousFail) << name;
        EXPECT_TRUE(log.HasError(std::string("RobotMaster: could not recognize robot type ") + name)) << name;
    }
    KinTest::ResetSeriousFail();
}
