// Tool files, tool matrices and the gripper opening ramp.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "KinTestSupport.h"
#include "kinematics/Tool.h"
#include "support/TestSupport.h"

using KinTest::LogCapture;

namespace {

class ToolFile : public ::testing::Test {
protected:
    void SetUp() override {
        KinTest::ResetSeriousFail();
        KinTest::InstallToolFixture("kin-tool-gripper.xml");
        KinTest::InstallToolFixture("kin-tool-digital.xml");
    }
    void TearDown() override { KinTest::ResetSeriousFail(); }

    // Tool files live under the root directory: one of this test's own.
    TestSupport::ScratchRoot root;
};

// A tool with MotionMin 0, MotionMax 70, MotionVel 3, opening 0.
Tool RampTool() {
    Tool t;
    t.motionMin = 0;
    t.motionMax = 70;
    t.motionVel = 3;
    t.hwScale = 0.7f;
    return t;
}

}  // namespace

TEST(ToolDefaults, DefaultConstructedTool) {
    Tool t;
    EXPECT_EQ(t.motion, "");
    EXPECT_EQ(t.protocol, "");
    EXPECT_EQ(t.busId, -1);
    EXPECT_EQ(t.hwScale, 1.0f);
    EXPECT_EQ(t.channelEnable, -1);
    EXPECT_EQ(t.channelOpenClose, -1);
    EXPECT_EQ(t.motionVel, 0);
    EXPECT_EQ(t.gearScale, 0);
    EXPECT_TRUE(t.toolMatrix.Equals(DataTypes::Matrix44(), 0.0f));
    EXPECT_TRUE(t.inverseToolMatrix.Equals(DataTypes::Matrix44(), 0.0f));
}

TEST_F(ToolFile, BusGripperIsReadAndItsMatricesBuilt) {
    LogCapture log;
    Tool t;
    t.Init("kin-tool-gripper.xml");
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeNormal);
    EXPECT_EQ(t.motion, "rotationaltwofinger");
    EXPECT_EQ(t.protocol, "bus");
    EXPECT_EQ(t.busId, 20);
    EXPECT_EQ(t.gearScale, -12);
    EXPECT_EQ(t.gearZero, 200);
    EXPECT_EQ(t.motionMax, 70);
    EXPECT_FLOAT_EQ(t.hwScale, 0.7f);
    EXPECT_EQ(t.targetOpening, 30);
    EXPECT_EQ(t.channelEnable, -1);

    // Rotation Rz(C) Ry(B) Rx(A) with A 15, B -20, C 90; translation the offset.
    DataTypes::Matrix44 expected;
    expected.SetRotationABCDeg2(90, -20, 15);
    expected.SetTranslation(10, -5, 120);
    EXPECT_TRUE(t.toolMatrix.Equals(expected, 1e-6f));
    const DataTypes::Matrix44 product = t.inverseToolMatrix * t.toolMatrix;
    EXPECT_TRUE(product.Equals(DataTypes::Matrix44(), 1e-4f));

    EXPECT_TRUE(log.Has("Tool: reading ini file \"" + KinTest::ToolPath("kin-tool-gripper.xml") + "\""));
    EXPECT_TRUE(log.Has("   Offsets: x: 10.0  y: -5.0  z: 120.0  -   a: 15.0  b: -20.0  c: 90.0"));
    EXPECT_TRUE(log.Has("  RotationalTwoFinger : motionVel 3.0 - motionMin 0.0 - motionMax 70.0"));
}

TEST_F(ToolFile, DigitalGripperChannelsCountFromOneInTheFile) {
    Tool t;
    t.Init("kin-tool-digital.xml");
    EXPECT_EQ(t.motion, "digital");
    EXPECT_EQ(t.protocol, "digital");
    EXPECT_EQ(t.motionVel, 5);
    EXPECT_EQ(t.motionMax, 70);  // not read for a digital gripper
    EXPECT_EQ(t.channelEnable, 2);
    EXPECT_EQ(t.channelOpenClose, 0);
    EXPECT_EQ(t.busId, 112);
    EXPECT_EQ(t.offset.z, 100);
    EXPECT_EQ(t.rotationOffset.x, 0);
}

TEST_F(ToolFile, LinearMotionInAnyCaseReadsItsValues) {
    const std::string name = "kin-variant-linear.xml";
    KinTest::WriteXmlVariant("kin-tool-gripper.xml", KinTest::ToolPath(name), [](tinyxml2::XMLElement* root) {
        tinyxml2::XMLElement* k = root->FirstChildElement("KINEMATIC");
        k->SetAttribute("Motion", "Linear");
        k->SetAttribute("MotionMin", 5);
        k->SetAttribute("MotionMax", 25);
        k->SetAttribute("MotionVel", 2);
    });
    Tool t;
    t.Init(name);
    EXPECT_EQ(t.motion, "linear");
    EXPECT_EQ(t.motionMin, 5);
    EXPECT_EQ(t.motionMax, 25);
    EXPECT_EQ(t.motionVel, 2);
    EXPECT_FLOAT_EQ(t.hwScale, 0.2f);
    std::remove(KinTest::ToolPath(name).c_str());
}

TEST_F(ToolFile, MotionVelocityOfZeroOrLessFallsBackToTheDefault) {
    for (const char* vel : {"0", "-2", "nan"}) {
        const std::string name = "kin-variant-vel.xml";
        KinTest::WriteXmlVariant("kin-tool-gripper.xml", KinTest::ToolPath(name), [&](tinyxml2::XMLElement* root) {
            root->FirstChildElement("KINEMATIC")->SetAttribute("MotionVel", vel);
        });
        LogCapture log;
        Tool t;
        t.Init(name);
        EXPECT_EQ(t.motionVel, Tool::defaultMotionVel) << vel;
        if (std::string(vel) != "nan") {
            EXPECT_EQ(log.CountContaining("is not above 0, using 3.0"), 1) << vel;
        }
        EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeNormal);
        std::remove(KinTest::ToolPath(name).c_str());
    }
}

TEST_F(ToolFile, BrokenFilesSetTheirReasonAndKeepWhatWasRead) {
    struct Case {
        const char* name;
        std::function<void(tinyxml2::XMLElement*)> edit;
        const char* reason;
        const char* errorLine;
    };
    auto withoutAttribute = [](const char* element, const char* attribute) {
        return [=](tinyxml2::XMLElement* root) { root->FirstChildElement(element)->DeleteAttribute(attribute); };
    };
    const Case cases[] = {
        {"no-offset", KinTest::Without("OFFSET"), "44 Tool Ini file not complete",
         "Tool: line \"OFFSET\" not found in .ini file!"},
        {"no-kinematic", KinTest::Without("KINEMATIC"), "45 Tool Ini file not complete",
         "Tool: line \"KINEMATIC\" not found in ini file!"},
        {"no-motion", withoutAttribute("KINEMATIC", "Motion"), "46 Tool Ini file not complete",
         "Tool: attribute \"Motion\" not found in line \"Kinematic\" of tool file!"},
        {"no-interface", KinTest::Without("INTERFACE"), "47 Tool Ini file not complete",
         "Tool: line \"INTERFACE\" not found in ini file!"},
        {"no-protocol", withoutAttribute("INTERFACE", "Protocol"), "48 Tool Ini file not complete",
         "Tool: attribute \"Protocol\" not found in line \"INTERFACE\" of tool file!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        KinTest::ResetSeriousFail();
        const std::string name = std::string("kin-variant-") + c.name + ".xml";
        KinTest::WriteXmlVariant("kin-tool-gripper.xml", KinTest::ToolPath(name), c.edit);
        LogCapture log;
        Tool t;
        t.protocol = "before";
        t.Init(name);
        EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), c.reason);
        EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeSeriousFail);
        EXPECT_TRUE(log.HasError(c.errorLine));
        const std::string which = c.name;
        if (which == "no-interface") {
            // Offsets and motion values read before the failure stay; the protocol is untouched.
            EXPECT_EQ(t.offset.z, 120);
            EXPECT_EQ(t.motion, "rotationaltwofinger");
            EXPECT_EQ(t.protocol, "before");
        }
        if (which == "no-motion") {
            EXPECT_EQ(t.motion, "none");
        }
        if (which == "no-protocol") {
            EXPECT_EQ(t.protocol, "none");
        }
        if (which == "no-offset") {
            EXPECT_EQ(t.offset.z, 0);
        }
        std::remove(KinTest::ToolPath(name).c_str());
    }
}

TEST_F(ToolFile, MissingUnreadableOrRootlessFile) {
    struct Case {
        const char* name;
        const char* content;  // null: no file
        const char* reason;
        std::string errorStart;
    };
    const Case cases[] = {
        {"kin-variant-missing.xml", nullptr, "41 Tool Ini file not found", "Tool: could not find tool ini file: "},
        {"kin-variant-broken.xml", "<Tool><OFFSET></Tool", "42 Tool Ini file not valid",
         "Tool: could not read tool ini file XML code correctly: "},
        {"kin-variant-noroot.xml", "<Werkzeug><OFFSET/></Werkzeug>", "43 Tool Ini file not complete",
         "Tool: line \"Tool\" not found in tool ini file!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        KinTest::ResetSeriousFail();
        if (c.content != nullptr) TestSupport::WriteFile(KinTest::ToolPath(c.name), c.content);
        LogCapture log;
        Tool t;
        t.Init(c.name);
        EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), c.reason);
        EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeSeriousFail);
        EXPECT_GE(log.CountContaining(c.errorStart), 1);
        // Nothing read: the defaults of Init stay and the matrices are the identity.
        EXPECT_EQ(t.busId, 112);
        EXPECT_TRUE(t.toolMatrix.Equals(DataTypes::Matrix44(), 0.0f));
        std::remove(KinTest::ToolPath(c.name).c_str());
    }
}

TEST_F(ToolFile, NamesMustStayInsideTheToolsDirectory) {
    // A tool file one level up that a ".." name would reach.
    TestSupport::CopyFixture("kin-tool-gripper.xml", LogSingleton::instance()->get_rootPath() + "Data/kin-outside.xml");
    for (const std::string name : {"../kin-outside.xml", "/etc/hostname", "sub/../../kin-outside.xml", "..", ""}) {
        SCOPED_TRACE(name);
        KinTest::ResetSeriousFail();
        Tool t;
        EXPECT_FALSE(t.CheckConfigFileExists(name));
        LogCapture log;
        t.Init(name);
        EXPECT_EQ(t.motion, "");
        EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), "41 Tool Ini file not found");
        EXPECT_EQ(log.CountContaining("Tool: reading ini file"), 0);
    }
    std::remove((LogSingleton::instance()->get_rootPath() + "Data/kin-outside.xml").c_str());

    Tool t;
    EXPECT_TRUE(t.CheckConfigFileExists("kin-tool-gripper.xml"));
    EXPECT_FALSE(t.CheckConfigFileExists("kin-no-such-tool.xml"));
    TestSupport::CopyFixture("kin-tool-digital.xml", KinTest::ToolPath("kin-sub/..x.xml"));
    EXPECT_TRUE(t.CheckConfigFileExists("kin-sub/..x.xml"));
    std::remove(KinTest::ToolPath("kin-sub/..x.xml").c_str());
    std::remove(KinTest::ToolPath("kin-sub").c_str());
}

TEST(ToolOpening, RampReachesTheTargetInWholeSteps) {
    Tool t = RampTool();
    t.SetTargetValue(100);
    int updates = 0;
    while (t.GetJoint() < 100 && updates < 1000) {
        t.Update();
        ++updates;
    }
    EXPECT_EQ(updates, 34);  // 33 steps of 3, then the remaining 1
    EXPECT_FLOAT_EQ(t.GetHWPosition(), 70);
    t.SetTargetValue(50);
    t.Update();
    EXPECT_EQ(t.GetJoint(), 97);
}

TEST(ToolOpening, TargetsAreClampedAndHardwarePositionsTakenOver) {
    Tool t = RampTool();
    t.SetTargetValue(150);
    EXPECT_EQ(t.targetOpening, 100);
    t.SetTargetValue(-5);
    EXPECT_EQ(t.targetOpening, 0);
    t.SetTargetValue(std::nanf(""));
    EXPECT_EQ(t.targetOpening, 0);

    t.JogGripper(10);
    EXPECT_EQ(t.targetOpening, 30);
    t.JogGripper(100);
    EXPECT_EQ(t.targetOpening, 100);
    t.JogGripper(-100);
    EXPECT_EQ(t.targetOpening, 0);

    t.SetHWPosition(35);
    EXPECT_FLOAT_EQ(t.GetJoint(), 50);
    EXPECT_FLOAT_EQ(t.targetOpening, 50);
    t.currentOpening = 20;
    t.UpdateNoVel();
    EXPECT_FLOAT_EQ(t.GetHWPosition(), 14);

    t.hwScale = 0;
    t.SetHWPosition(60);
    EXPECT_EQ(t.GetHWPosition(), 60);
    EXPECT_EQ(t.GetJoint(), 20);
}
