// Cartesian gantries: forward and inverse values, round trips with skewed,
// non-unit directions, a fourth axis, tools and a dependent rail, the
// members' differences, the robot file and the limits written back.

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <random>
#include <string>

#include "ArmTestSupport.h"
#include "hardware/ExternalAxis.h"
#include "kinematics/KinMath.h"
#include "kinematics/RobotKinematicCartesian1Axis.h"
#include "kinematics/RobotKinematicCartesian2AxisLine.h"
#include "kinematics/RobotKinematicCartesian2AxisPlane.h"
#include "kinematics/RobotKinematicCartesian3Axis.h"

using ArmTest::SamePose;
using ArmTest::Snapshot;
using KinTest::LogCapture;
using KinTest::ThrownCode;

namespace {

constexpr const char* kFixture = "kin2-robot-cartesian.xml";

class Gantry : public ::testing::Test {
protected:
    void SetUp() override { KinTest::ResetSeriousFail(); }
    void TearDown() override { KinTest::ResetSeriousFail(); }

    // The fixture with its "Kinematic" and "SoftwareMinMax" attributes edited.
    std::string Variant(const std::string& name, const std::function<void(tinyxml2::XMLElement* kinematic)>& kin,
                        const std::function<void(tinyxml2::XMLElement* limits)>& limits = nullptr) {
        const std::string path = m_Root.File("Data/Robots/" + name);
        KinTest::WriteXmlVariant(kFixture, path, [&](tinyxml2::XMLElement* robot) {
            if (kin) kin(robot->FirstChildElement("Kinematic"));
            if (limits) limits(robot->FirstChildElement("SoftwareMinMax"));
        });
        return path;
    }

    // A "Kinematic" element with nothing but its type: the built-in geometry.
    std::string BuiltIn(const std::string& name) {
        return Variant(name, [](tinyxml2::XMLElement* k) {
            for (const char* a : {"FourthAxis", "lx", "ly", "lz", "xOffset", "yOffset", "zOffset", "dirA1", "dirA2",
                                  "dirA3"}) {
                k->DeleteAttribute(a);
            }
        });
    }

    TestSupport::ScratchRoot m_Root;
};

DataTypes::Matrix44 ToolDown(float x, float y, float z) { return ArmTest::PointingDown(x, y, z); }

}  // namespace

TEST_F(Gantry, BuiltInThreeAxisGeometry) {
    auto kin = ArmTest::Load<RobotKinematicCartesian3Axis>(BuiltIn("builtin.xml"));
    EXPECT_EQ(kin->nrOfJoints, 3);
    EXPECT_FALSE(kin->fourthAxis);
    EXPECT_EQ(kin->kinematicTypeName, "RobotKinematicCartesian3Axis");
    const float user[9] = {100, 50, 20, 0, 0, 0, 0, 0, 0};
    kin->SetJoints(user, true);
    EXPECT_TRUE(SamePose(kin->pose, ToolDown(-95, -200, 110), 1e-4, 0));

    float ext[9] = {};
    const float zero[9] = {};
    kin->SetJoints(zero, true);
    kin->SetPosition(ToolDown(-95, -200, 110), ext);
    float back[9];
    kin->GetJoints(back);
    EXPECT_NEAR(back[0], 100, 1e-4);
    EXPECT_NEAR(back[1], 50, 1e-4);
    EXPECT_NEAR(back[2], 20, 1e-4);
}

TEST_F(Gantry, RoundTripsWithSkewedDirectionsFourthAxisToolsAndARail) {
    ExternalAxis rail;
    rail.kinematic = ExternalAxis::Dependent;
    rail.lz0 = 120;
    rail.directionAngleToY = -90;
    rail.min = -100;
    rail.max = 900;
    for (const char* tool : {"kin2-tool-zturn.xml", "kin-tool-gripper.xml"}) {
        SCOPED_TRACE(tool);
        auto kin = ArmTest::LoadFixture<RobotKinematicCartesian3Axis>(kFixture);
        ASSERT_TRUE(kin->fourthAxis);
        ASSERT_EQ(kin->nrOfJoints, 4);
        ASSERT_EQ(kin->axisDirections[1].x, 0.5f);
        kin->AddExternalAxis(rail);
        ArmTest::UseTool(*kin, tool);
        std::unique_ptr<RobotKinematic> probe(kin->clone());
        float limits[9][2];
        kin->GetMinMaxValues(limits);
        std::mt19937 rng(7);
        for (int n = 0; n < 2000; ++n) {
            float user[9] = {};
            for (int i : {0, 1, 2, 3, 6}) {
                std::uniform_real_distribution<float> d(limits[i][0] + 0.01f, limits[i][1] - 0.01f);
                user[i] = d(rng);
            }
            probe->SetJoints(user, false);
            const DataTypes::Matrix44 target = probe->pose;
            // The robot thread gives the actual joints before each set-point.
            kin->SetJoints(user, false);
            float ext[9] = {};
            ext[6] = user[6];
            ASSERT_EQ(ThrownCode([&] { kin->SetPosition(target, ext); }), 0);
            float back[9];
            kin->GetJoints(back);
            for (int i : {0, 1, 2, 3, 6}) ASSERT_NEAR(back[i], user[i], 0.01) << "joint " << i;
            ASSERT_TRUE(SamePose(kin->pose, target, 0.01, 1e-4));
        }
    }
}

TEST_F(Gantry, FourthAxisTakesItsAngleFromTheFlangesXAxis) {
    auto kin = ArmTest::LoadFixture<RobotKinematicCartesian3Axis>(kFixture);
    EXPECT_EQ(kin->jointLimits[3][0], -270);
    float ext[9] = {};
    DataTypes::Matrix44 target;
    target.SetRotationABCDeg(-90, 0, 180);  // tool down, its X axis along +Y
    target.SetTranslation(200, 300, 250);
    ASSERT_NEAR(target(1, 0), 1.0f, 1e-6);
    kin->SetPosition(target, ext);
    float back[9];
    kin->GetJoints(back);
    EXPECT_NEAR(back[3], 90, 1e-3);
    EXPECT_TRUE(SamePose(kin->pose, target, 1e-3, 1e-5));

    // A tool turned about its axis does not turn the fourth axis.
    ArmTest::UseTool(*kin, "kin2-tool-zturn.xml");  // 30 degrees about Z
    const float user[9] = {100, 100, 50, 40, 0, 0, 0, 0, 0};
    kin->SetJoints(user, false);
    const DataTypes::Matrix44 withTool = kin->pose;
    kin->SetJoints(back, false);
    kin->SetPosition(withTool, ext);
    kin->GetJoints(back);
    EXPECT_NEAR(back[3], 40, 1e-3);
}

TEST_F(Gantry, WithoutFourthAxisTheOrientationIsIgnoredAndTheToolPointsDown) {
    for (const char* value : {static_cast<const char*>("false"), static_cast<const char*>(nullptr)}) {
        SCOPED_TRACE(value ? value : "absent");
        auto kin = ArmTest::Load<RobotKinematicCartesian3Axis>(Variant("no4.xml", [&](tinyxml2::XMLElement* k) {
            if (value) {
                k->SetAttribute("FourthAxis", value);
            } else {
                k->DeleteAttribute("FourthAxis");
            }
        }));
        EXPECT_FALSE(kin->fourthAxis);
        EXPECT_EQ(kin->nrOfJoints, 3);
        EXPECT_EQ(kin->jointLimits[3][0], -179.5f);  // "A4Min" not read
        // A tool offset across the flange axis: the centre point still reaches the target's position.
        ArmTest::UseTool(*kin, "kin2-tool-side.xml");
        DataTypes::Matrix44 target;
        target.SetRotationABCDeg2(40, 30, 20);
        target.SetTranslation(150, 200, 250);
        float ext[9] = {};
        ASSERT_EQ(ThrownCode([&] { kin->SetPosition(target, ext); }), 0);
        EXPECT_LT(ArmTest::Distance(kin->pose.GetTranslation(), target.GetTranslation()), 1e-3);
        float back[9];
        kin->GetJoints(back);
        std::unique_ptr<RobotKinematic> probe(kin->clone());
        probe->SetJoints(back, false);
        EXPECT_TRUE(SamePose(probe->pose, kin->pose, 1e-3, 1e-5));
        EXPECT_NEAR(probe->pose(2, 2), -1, 1e-6);
    }
}

TEST_F(Gantry, DirectionsAreParsedAsFarAsTheyAreGiven) {
    struct Case {
        const char* text;
        DataTypes::Vector3 dir;
    };
    const Case cases[] = {
        {"0.3 0.4", {0.3f, 0.4f, -1}}, {"2 0 0.5", {2, 0, 0.5f}}, {"nan 1 1", {0, 0, -1}}, {"x", {0, 0, -1}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        auto kin = ArmTest::Load<RobotKinematicCartesian3Axis>(Variant("dir.xml", [&](tinyxml2::XMLElement* k) {
            k->SetAttribute("dirA3", c.text);
        }));
        EXPECT_EQ(kin->axisDirections[2].x, c.dir.x);
        EXPECT_EQ(kin->axisDirections[2].y, c.dir.y);
        EXPECT_EQ(kin->axisDirections[2].z, c.dir.z);
    }
}

TEST_F(Gantry, DependentDirectionsStopTheRobotInsteadOfThrowing) {
    LogCapture log;
    std::unique_ptr<RobotKinematicCartesian3Axis> kin;
    ASSERT_NO_THROW(kin = ArmTest::Load<RobotKinematicCartesian3Axis>(
                        Variant("dependent.xml", [](tinyxml2::XMLElement* k) { k->SetAttribute("dirA3", "4 3 0"); })));
    EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), "54 Robot Ini not complete");
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeSeriousFail);
    EXPECT_TRUE(log.HasErrorContaining("RobotKinematicCartesian3Axis: axis directions are linearly dependent"));

    // The line gantry's built-in second direction is its fixed third column.
    KinTest::ResetSeriousFail();
    ASSERT_NO_THROW(ArmTest::Load<RobotKinematicCartesian2AxisLine>(BuiltIn("line-builtin.xml")));
    EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), "54 Robot Ini not complete");
}

TEST_F(Gantry, LineGantryLeavesYToTheToolAndTheRail) {
    LogCapture log;
    auto kin = ArmTest::Load<RobotKinematicCartesian2AxisLine>(
        Variant("line.xml", [](tinyxml2::XMLElement* k) { k->SetAttribute("dirA2", "0 0 1"); }));
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeNormal);
    EXPECT_EQ(kin->nrOfJoints, 2);
    EXPECT_EQ(kin->jointLimits[2][1], 300);  // "A3Max" not read
    EXPECT_TRUE(log.Has("RKCartesian TestBot / Type  - Kinematic Data: "));
    EXPECT_TRUE(log.Has("   Linear Axis 2:  Dir 0.0, 0.0, 1.0   Length: 600.0"));
    EXPECT_EQ(log.CountContaining("Linear Axis 3"), 0);
    EXPECT_EQ(log.CountContaining("Fourth Axis"), 0);

    float ext[9] = {};
    float atY0[9], atY300[9];
    kin->SetPosition(ToolDown(150, 0, 500), ext);
    kin->GetJoints(atY0);
    kin->SetPosition(ToolDown(150, 300, 500), ext);
    kin->GetJoints(atY300);
    EXPECT_FLOAT_EQ(atY0[0], atY300[0]);
    EXPECT_FLOAT_EQ(atY0[1], atY300[1]);
    EXPECT_NEAR(kin->pose(1, 3), 0, 1e-4);
    EXPECT_NEAR(kin->pose(0, 3), 150, 1e-3);
    EXPECT_NEAR(kin->pose(1, 1), -1, 1e-6);
    // Forward: offset plus A1 times (2, 0, 0) plus A2 times (0, 0, 1).
    const float user[9] = {10, 20, 0, 0, 0, 0, 0, 0, 0};
    kin->SetJoints(user, false);
    EXPECT_TRUE(SamePose(kin->pose, ToolDown(-80, 50, 420), 1e-4, 0));
}

TEST_F(Gantry, PlaneGantryLeavesZAndKeepsTheBaseOrientation) {
    LogCapture log;
    auto kin = ArmTest::Load<RobotKinematicCartesian2AxisPlane>(BuiltIn("plane.xml"));
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeNormal);
    EXPECT_TRUE(log.Has("RKCartesianFlat TestBot / Type  - Kinematic Data: "));
    EXPECT_EQ(kin->jointLimits[2][1], 240);  // "A3Max" read although the gantry has two joints
    DataTypes::Matrix44 target = ToolDown(120, 80, 350);
    float ext[9] = {};
    kin->SetPosition(target, ext);
    float back[9];
    kin->GetJoints(back);
    EXPECT_NEAR(back[0], 120, 1e-4);
    EXPECT_NEAR(back[1], 80, 1e-4);
    EXPECT_TRUE(SamePose(kin->pose, DataTypes::Matrix44(DataTypes::Vector3(1, 0, 0), DataTypes::Vector3(0, 1, 0),
                                                         DataTypes::Vector3(0, 0, 1), DataTypes::Vector3(120, 80, 0)),
                         1e-4, 0));
}

TEST_F(Gantry, OneAxisGantryTakesTheExternalAxesButNoRailShift) {
    auto kin = ArmTest::LoadFixture<RobotKinematicCartesian1Axis>(kFixture);
    EXPECT_EQ(kin->kinematicTypeName, "RobotKinematicCartesian1Axis");
    ExternalAxis rail;
    rail.kinematic = ExternalAxis::Dependent;
    rail.lz0 = 100;
    rail.min = -1000;
    rail.max = 1000;
    kin->AddExternalAxis(rail);
    const float user[9] = {100, 50, 20, 10, 0, 0, 250, 0, 0};
    kin->SetJoints(user, false);
    std::unique_ptr<RobotKinematic> plain(kin->clone());
    const float noRail[9] = {100, 50, 20, 10, 0, 0, 0, 0, 0};
    plain->SetJoints(noRail, false);
    EXPECT_TRUE(SamePose(kin->pose, plain->pose, 0, 0));

    float ext[9] = {0, 0, 0, 0, 0, 0, 250, 7, 9};
    kin->SetPosition(plain->pose, ext);
    float back[9];
    kin->GetJoints(back);
    EXPECT_NEAR(back[0], 100, 1e-3);
    EXPECT_EQ(back[6], 250);
    EXPECT_EQ(back[7], 7);
    EXPECT_EQ(back[8], 9);
}

TEST_F(Gantry, VirtualBoxGuardsTheToolCentrePointOfJointMoves) {
    auto kin = ArmTest::Load<RobotKinematicCartesian3Axis>(BuiltIn("box.xml"));
    ArmTest::UseTool(*kin, "kin-tool-digital.xml");  // 100 mm down from the flange
    kin->virtualBoxActive = true;
    kin->virtualBoxMin = DataTypes::Vector3(-1000, -1000, 0);
    kin->virtualBoxMax = DataTypes::Vector3(1000, 1000, 1000);
    const float high[9] = {100, 100, 20, 0, 0, 0, 0, 0, 0};  // flange at z 110, tool at 10
    kin->SetJoints(high, true);
    ASSERT_NEAR(kin->pose(2, 3), 10, 1e-4);
    const Snapshot before(*kin);
    const float lower[9] = {100, 100, 40, 0, 0, 0, 0, 0, 0};  // flange at 90, tool at -10
    EXPECT_EQ(ThrownCode([&] { kin->SetJoints(lower, true); }), 35);
    EXPECT_TRUE(before.Unchanged(*kin));
    // Moving back up is allowed.
    const float up[9] = {100, 100, 10, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(ThrownCode([&] { kin->SetJoints(up, true); }), 0);
}

TEST_F(Gantry, RefusedSetPointsChangeNothing) {
    auto kin = ArmTest::LoadFixture<RobotKinematicCartesian3Axis>(kFixture);
    const float start[9] = {100, 100, 50, 0, 0, 0, 0, 0, 0};
    kin->SetJoints(start, true);
    const Snapshot before(*kin);
    const float beyond[9] = {450, 100, 50, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(ThrownCode([&] { kin->SetJoints(beyond, true); }), 14);
    EXPECT_TRUE(before.Unchanged(*kin));
    std::unique_ptr<RobotKinematic> probe(kin->clone());
    probe->SetJoints(beyond, false);
    float ext[9] = {};
    EXPECT_EQ(ThrownCode([&] { kin->SetPosition(probe->pose, ext); }), 14);
    EXPECT_TRUE(before.Unchanged(*kin));
    const float nan[9] = {100, NAN, 50, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(ThrownCode([&] { kin->SetJoints(nan, true); }), 50);
    EXPECT_TRUE(before.Unchanged(*kin));
}

TEST_F(Gantry, LimitsAreWrittenBackIntoTheLoadedRobotFile) {
    struct Case {
        const char* name;
        std::function<RobotKinematic*()> make;
        bool fourth;
        int attributes;
    };
    const Case cases[] = {
        {"three axes", [] { return new RobotKinematicCartesian3Axis(); }, false, 6},
        {"three axes and a fourth", [] { return new RobotKinematicCartesian3Axis(); }, true, 8},
        {"line", [] { return new RobotKinematicCartesian2AxisLine(); }, false, 4},
        {"plane", [] { return new RobotKinematicCartesian2AxisPlane(); }, false, 6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<RobotKinematic> kin(c.make());
        static_cast<CartesianGantry*>(kin.get())->fourthAxis = c.fourth;
        kin->jointLimits[0][0] = -12.5f;
        kin->jointLimits[1][1] = 456.25f;
        kin->jointLimits[3][1] = 123.5f;
        tinyxml2::XMLDocument doc;
        doc.Parse("<Robot><SoftwareMinMax A1Min=\"0\" Other=\"x\"/></Robot>");
        tinyxml2::XMLElement* robot = doc.RootElement();
        kin->UpdateConfigurationFile(&doc, robot);
        const tinyxml2::XMLElement* e = robot->FirstChildElement("SoftwareMinMax");
        int count = 0;
        for (const tinyxml2::XMLAttribute* a = e->FirstAttribute(); a != nullptr; a = a->Next()) ++count;
        EXPECT_EQ(count, c.attributes + 1);  // "Other" stays
        EXPECT_EQ(e->FloatAttribute("A1Min"), -12.5f);
        EXPECT_EQ(e->FloatAttribute("A2Max"), 456.25f);
        EXPECT_EQ(e->Attribute("A4Max") != nullptr, c.fourth);
        if (c.fourth) {
            EXPECT_EQ(e->FloatAttribute("A4Max"), 123.5f);
        }
    }

    RobotKinematicCartesian3Axis kin;
    tinyxml2::XMLDocument doc;
    doc.Parse("<Robot/>");
    LogCapture log;
    kin.UpdateConfigurationFile(&doc, doc.RootElement());
    EXPECT_TRUE(log.HasError("RobotKinematicCartesian3Axis: line SoftwareMinMax not found in robot configuration file!"));
    EXPECT_EQ(doc.RootElement()->FirstChildElement("SoftwareMinMax"), nullptr);
}

TEST_F(Gantry, RobotFileReasons) {
    struct Case {
        const char* name;
        std::function<std::string()> file;
        std::function<RobotKinematic*()> make;
        const char* reason;
        const char* errorStart;
    };
    const Case cases[] = {
        {"missing, three axes", [&] { return m_Root.File("Data/Robots/none.xml"); },
         [] { return new RobotKinematicCartesian3Axis(); }, "51 Robot Ini not found",
         "RobotKinematicCartesian3Axis: could not find robot ini file: "},
        {"missing, line", [&] { return m_Root.File("Data/Robots/none.xml"); },
         [] { return new RobotKinematicCartesian2AxisLine(); }, "51 Robot Ini not found",
         "RobotKinematicCartesian: could not find robot ini file: "},
        {"no Kinematic",
         [&] {
             const std::string p = m_Root.File("Data/Robots/nokin.xml");
             KinTest::WriteXmlVariant(kFixture, p, KinTest::Without("Kinematic"));
             return p;
         },
         [] { return new RobotKinematicCartesian2AxisPlane(); }, "54 Robot Ini not complete",
         "RobotKinematicCartesian2AxisPlane: line Kinematic not found in robot ini file!"},
        {"no SoftwareMinMax",
         [&] {
             const std::string p = m_Root.File("Data/Robots/nominmax.xml");
             KinTest::WriteXmlVariant(kFixture, p, KinTest::Without("SoftwareMinMax"));
             return p;
         },
         [] { return new RobotKinematicCartesian1Axis(); }, "55 Robot Ini not complete",
         "RobotKinematicCartesian1Axis: line SoftwareMinMax not found in robot ini file!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        KinTest::ResetSeriousFail();
        LogCapture log;
        std::unique_ptr<RobotKinematic> kin(c.make());
        kin->Init("TestBot", "Type", c.file(), -1);
        EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), c.reason);
        EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeSeriousFail);
        EXPECT_TRUE(log.HasErrorContaining(c.errorStart));
    }
}
