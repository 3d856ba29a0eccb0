// The robot master's part of the robot configuration file: reading, the
// timing mode, and the partial rewrite with its delayed trigger.

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <tinyxml2.h>

#include "common/LogSingleton.h"
#include "controller/RobotMaster.h"
#include "controller/RobotMasterTestSupport.h"
#include "kinematics/RobotKinematic.h"

using RobotMasterTest::Child;
using RobotMasterTest::LogCapture;
using RobotMasterTest::RemoveElement;
using RobotMasterTest::RobotFile;
using tinyxml2::XMLElement;

namespace {

class RobotMasterConfigTest : public ::testing::Test {
protected:
    void SetUp() override { RobotMasterTest::ResetLogState(); }
    void TearDown() override { RobotMasterTest::ResetLogState(); }
};

struct FatalCase {
    const char* name;
    std::function<void(XMLElement*)> edit;
    int result;
    const char* reason;
    const char* message;
};

void PrintTo(const FatalCase& c, std::ostream* os) { *os << c.name; }

class RobotMasterFatalTest : public ::testing::TestWithParam<FatalCase> {
protected:
    void SetUp() override { RobotMasterTest::ResetLogState(); }
    void TearDown() override { RobotMasterTest::ResetLogState(); }
};

TEST_P(RobotMasterFatalTest, StopsAtFirstMissingMandatoryValue) {
    const FatalCase& c = GetParam();
    RobotFile file(c.edit);
    LogCapture capture;
    RobotMaster rm;
    EXPECT_EQ(rm.ReadConfigFile(file.Path()), c.result);
    EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), c.reason);
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeSeriousFail);
    EXPECT_TRUE(capture.HasError(c.message)) << c.message;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RobotMasterFatalTest,
    ::testing::Values(
        FatalCase{"NoRobot", [](XMLElement* r) { r->SetName("Robots"); }, 4, "33 Robot Ini file not complete",
                  "RobotMaster: line Robot not found in robot ini file!"},
        FatalCase{"NoBus", [](XMLElement* r) { RemoveElement(r, "BusConfiguration"); }, 5,
                  "34 Robot Ini file not complete",
                  "RobotMaster: line BusConfiguration not found in robot ini file!"},
        FatalCase{"NoProtocol", [](XMLElement* r) { Child(r, "BusConfiguration")->DeleteAttribute("Protocol"); },
                  6, "35 Robot Ini file not complete",
                  "RobotMaster: attribute Protocol not found in line BusConfiguration of robot ini file!"},
        FatalCase{"NoCycleTime", [](XMLElement* r) { Child(r, "BusConfiguration")->DeleteAttribute("CycleTimeMS"); },
                  7, "36 Robot Ini file not complete",
                  "RobotMaster: attribute CycleTimeMS not found in line BusConfiguration of robot ini file!"},
        FatalCase{"ZeroCycleTime", [](XMLElement* r) { Child(r, "BusConfiguration")->SetAttribute("CycleTimeMS", 0); },
                  7, "36 Robot Ini file not complete",
                  "RobotMaster: attribute CycleTimeMS not found in line BusConfiguration of robot ini file!"},
        FatalCase{"NegativeCycleTime",
                  [](XMLElement* r) { Child(r, "BusConfiguration")->SetAttribute("CycleTimeMS", -10); }, 7,
                  "36 Robot Ini file not complete",
                  "RobotMaster: attribute CycleTimeMS not found in line BusConfiguration of robot ini file!"},
        FatalCase{"TextCycleTime",
                  [](XMLElement* r) { Child(r, "BusConfiguration")->SetAttribute("CycleTimeMS", "ten"); }, 7,
                  "36 Robot Ini file not complete",
                  "RobotMaster: attribute CycleTimeMS not found in line BusConfiguration of robot ini file!"},
        FatalCase{"NoKinematic", [](XMLElement* r) { RemoveElement(r, "Kinematic"); }, 8,
                  "37 Robot Ini file not complete", "RobotMaster: line Kinematic not found in robot ini file!"},
        FatalCase{"NoType", [](XMLElement* r) { Child(r, "Kinematic")->DeleteAttribute("Type"); }, 9,
                  "38 Robot Ini file not complete",
                  "RobotMaster: attribute \"Type\" not found in line \"Kinematic\" of robot ini file!"}),
    [](const ::testing::TestParamInfo<FatalCase>& info) { return std::string(info.param.name); });

TEST_F(RobotMasterConfigTest, MissingOrBrokenFileSetsItsReason) {
    RobotFile file;
    {
        RobotMaster rm;
        EXPECT_EQ(rm.ReadConfigFile(file.Path() + ".none"), 2);
        EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), "31 Robot Ini file not found");
    }
    file.Write("<Robot><BusConfiguration Protocol=\"VQTCANV3\"");
    RobotMaster rm;
    EXPECT_EQ(rm.ReadConfigFile(file.Path()), 3);
    EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), "32 Robot Ini file not valid");
}

TEST_F(RobotMasterConfigTest, MissingProtocolLeavesTheVersionTwoName) {
    RobotFile file([](XMLElement* r) { Child(r, "BusConfiguration")->DeleteAttribute("Protocol"); });
    RobotMaster rm;
    rm.ReadConfigFile(file.Path());
    EXPECT_EQ(rm.GetProtocolType(), "VQTCANV2");
}

TEST_F(RobotMasterConfigTest, CompleteFileIsReadWithoutFailure) {
    RobotFile file;
    LogCapture capture;
    RobotMaster rm;
    ASSERT_EQ(rm.ReadConfigFile(file.Path()), 0);
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeNormal);
    EXPECT_EQ(rm.GetProtocolType(), "VQTCANV3");
    EXPECT_EQ(rm.GetKinematicType(), "StandardSixAxisPlus");
    EXPECT_FLOAT_EQ(rm.GetCycleTime(), 10.0f);
    EXPECT_EQ(rm.GetTimingMode(), 2);
    EXPECT_FALSE(rm.IsPreciseTiming());
    EXPECT_EQ(rm.GetBrakeChannel(), -1);
    EXPECT_EQ(rm.GetEStopChannel(), -1);
    EXPECT_EQ(rm.GetDisplayPortDefault(), "/dev/ttyO1");
    EXPECT_EQ(rm.GetFunctionButtonRefAll(), "refall");
    EXPECT_TRUE(capture.Has("RobotMaster: Timing mode: Mode 2"));
    EXPECT_TRUE(capture.Has("RobotMaster: JogVelocities: JogCart=200.00, JogOri=45.00, JogJoint=1.00"));
    EXPECT_TRUE(capture.Has("RobotMaster: Zero Torque not enabled for any joint"));
}

TEST_F(RobotMasterConfigTest, PreciseTimingIsTrueOrOneInAnyCase) {
    const struct {
        const char* text;
        bool precise;
    } cases[] = {{"TRUE", true}, {"true", true}, {"1", true}, {"yes", false}, {"false", false}, {"0", false}};
    for (const auto& c : cases) {
        RobotFile file([&](XMLElement* r) { Child(r, "BusConfiguration")->SetAttribute("PreciseTiming", c.text); });
        LogCapture capture;
        RobotMaster rm;
        ASSERT_EQ(rm.ReadConfigFile(file.Path()), 0);
        EXPECT_EQ(rm.IsPreciseTiming(), c.precise) << c.text;
        EXPECT_EQ(capture.Has("RobotMaster: Using precise timing. Warning, this can cause heavy CPU load."), c.precise);
    }
}

// The busy-waited margin before each cycle start: files without it keep the
// preset; a value that is no time within the 10 ms period is refused with a
// clear line and leaves the preset too.
TEST_F(RobotMasterConfigTest, SpinMarginIsAMillisecondTimeWithinThePeriod) {
    const struct {
        const char* text;  // nullptr: not in the file
        int32_t marginUs;
        bool refused;
    } cases[] = {{nullptr, CycleWait::DefaultMarginUs, false},
                 {"0.3", 300, false},
                 {"2", 2000, false},
                 {"0", 0, false},
                 {"10", 10000, false},
                 {"10.5", CycleWait::DefaultMarginUs, true},
                 {"-0.1", CycleWait::DefaultMarginUs, true},
                 {"nan", CycleWait::DefaultMarginUs, true},
                 {"inf", CycleWait::DefaultMarginUs, true},
                 {"short", CycleWait::DefaultMarginUs, true},
                 {"", CycleWait::DefaultMarginUs, true}};
    for (const auto& c : cases) {
        RobotFile file([&](XMLElement* r) {
            if (c.text) Child(r, "BusConfiguration")->SetAttribute("SpinMarginMS", c.text);
        });
        LogCapture capture;
        RobotMaster rm;
        ASSERT_EQ(rm.ReadConfigFile(file.Path()), 0) << (c.text ? c.text : "-");
        EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeNormal);
        EXPECT_EQ(rm.GetSpinMarginUs(), c.marginUs) << (c.text ? c.text : "-");
        EXPECT_FALSE(rm.IsPreciseTiming());
        EXPECT_EQ(capture.HasErrorContaining("attribute \"SpinMarginMS\" in line \"BusConfiguration\""), c.refused)
            << (c.text ? c.text : "-");
    }
}

TEST_F(RobotMasterConfigTest, TimingModeFollowsTheProtocolWhenAutomatic) {
    const struct {
        const char* protocol;
        int setting;
        int mode;
    } cases[] = {{"VQTCANV3", 0, 2}, {"VQTCANV3", 1, 1}, {"CANopen_CSP", 0, 1}, {"CANopen", 2, 2},
                 {"CANopen_IPO", 7, 1}, {"VQTCAN", 7, 2}};
    for (const auto& c : cases) {
        RobotFile file([&](XMLElement* r) {
            Child(r, "BusConfiguration")->SetAttribute("Protocol", c.protocol);
            Child(r, "BusConfiguration")->SetAttribute("TimingMode", c.setting);
        });
        RobotMaster rm;
        ASSERT_EQ(rm.ReadConfigFile(file.Path()), 0);
        EXPECT_EQ(rm.GetTimingMode(), c.mode) << c.protocol << " " << c.setting;
        EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeNormal);
    }
}

TEST_F(RobotMasterConfigTest, OptionalElementsFallBackToDefaults) {
    RobotFile file([](XMLElement* r) {
        for (const char* name : {"Brake", "EStopMonitoring", "Korvella", "PathGeneration", "Velocities",
                                 "AccelerationJog", "ZeroTorque"})
            RemoveElement(r, name);
    });
    LogCapture capture;
    RobotMaster rm;
    ASSERT_EQ(rm.ReadConfigFile(file.Path()), 0);
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeNormal);
    EXPECT_TRUE(capture.HasError("RobotMaster: line \"Brake\" not found in robot ini file!"));
    EXPECT_TRUE(capture.HasError("RobotMaster: line \"Korvella\" not found in robot ini file!"));
    EXPECT_TRUE(capture.HasError("RobotMaster: line \"PathGeneration\" not found in robot ini file!"));
    EXPECT_TRUE(capture.Has("RobotMaster: line \"Velocities\" not found in robot file! Using default jog velocities."));
    EXPECT_TRUE(
        capture.Has("RobotMaster: line \"AccelerationJog\" not found in robot file! Using default mechanism."));
    EXPECT_TRUE(capture.Has("RobotMaster: line \"ZeroTorque\" not found in robot file! Disabling Zero Torque mode."));
    EXPECT_EQ(rm.GetBrakeChannel(), -1);
    EXPECT_EQ(rm.GetEStopChannel(), -1);
    EXPECT_EQ(rm.GetDisplayPortDefault(), "/dev/ttyO1");
    EXPECT_EQ(rm.GetLookAhead(), 3);
    EXPECT_EQ(rm.GetGeneratorType(), 0);
    EXPECT_FLOAT_EQ(rm.GetSmoothDistCart(), 100.0f);
    EXPECT_FLOAT_EQ(rm.GetSmoothDistJoint(), 10.0f);
    EXPECT_TRUE(LogSingleton::instance()->get_pathGeneratorFlagOptimize());
    EXPECT_EQ(LogSingleton::instance()->get_pathGeneratorSlicingMS(), 50);
    // The file's defaults, not the constructor's, once the velocities were read.
    EXPECT_FLOAT_EQ(rm.GetJogCart(0), 200.0f);
    EXPECT_FLOAT_EQ(rm.GetJogOri(2), 45.0f);
    EXPECT_FLOAT_EQ(rm.GetJogJoint(), 1.0f);
    EXPECT_FALSE(rm.IsZeroTorqueAllowed());
}

TEST_F(RobotMasterConfigTest, GeneratorTypeIsComparedExactly) {
    const struct {
        const char* text;
        int type;
    } cases[] = {{"02Linear", 1}, {"02linear", 0}, {"01", 0}};
    for (const auto& c : cases) {
        RobotFile file([&](XMLElement* r) { Child(r, "PathGeneration")->SetAttribute("GeneratorType", c.text); });
        RobotMaster rm;
        ASSERT_EQ(rm.ReadConfigFile(file.Path()), 0);
        EXPECT_EQ(rm.GetGeneratorType(), c.type) << c.text;
    }
}

TEST_F(RobotMasterConfigTest, BrakeNeedsAValidOutputChannel) {
    const struct {
        const char* active;
        const char* channel;  // null: attribute absent
        int expected;
    } cases[] = {{"True", "7", 7}, {"True", nullptr, -1}, {"True", "64", -1}, {"False", "7", -1}, {nullptr, "7", -1}};
    for (const auto& c : cases) {
        RobotFile file([&](XMLElement* r) {
            XMLElement* brake = Child(r, "Brake");
            brake->DeleteAttribute("Active");
            brake->DeleteAttribute("DOutChannel");
            if (c.active) brake->SetAttribute("Active", c.active);
            if (c.channel) brake->SetAttribute("DOutChannel", c.channel);
            brake->SetAttribute("DelayMS", 250);
        });
        LogCapture capture;
        RobotMaster rm;
        ASSERT_EQ(rm.ReadConfigFile(file.Path()), 0);
        EXPECT_EQ(rm.GetBrakeChannel(), c.expected) << (c.channel ? c.channel : "none");
        if (c.expected >= 0) {
            EXPECT_TRUE(capture.Has("RobotMaster: Brake functionality activated on DOut 8 with delay 250 ms"));
        }
        if (c.active == nullptr) {
            EXPECT_TRUE(
                capture.HasError("RobotMaster: attribute \"Active\" not found in line \"Brake\" of robot ini file!"));
        }
    }
}

TEST_F(RobotMasterConfigTest, EStopChannelOutsideTheInputsSwitchesMonitoringOff) {
    const struct {
        int channel;
        int expected;
    } cases[] = {{0, 0}, {63, 63}, {64, -1}, {-1, -1}};
    for (const auto& c : cases) {
        RobotFile file([&](XMLElement* r) { Child(r, "EStopMonitoring")->SetAttribute("DInChannel", c.channel); });
        RobotMaster rm;
        ASSERT_EQ(rm.ReadConfigFile(file.Path()), 0);
        EXPECT_EQ(rm.GetEStopChannel(), c.expected);
    }
}

TEST_F(RobotMasterConfigTest, JogVelocityAttributesTakeTheirOwnDefaults) {
    RobotFile file([](XMLElement* r) {
        XMLElement* v = Child(r, "Velocities");
        v->DeleteAttribute("JogOri");
        v->DeleteAttribute("JogJoint");
        v->SetAttribute("JogCart", 150);
    });
    LogCapture capture;
    RobotMaster rm;
    ASSERT_EQ(rm.ReadConfigFile(file.Path()), 0);
    for (int axis = 0; axis < 3; ++axis) {
        EXPECT_FLOAT_EQ(rm.GetJogCart(axis), 150.0f);
        EXPECT_FLOAT_EQ(rm.GetJogOri(axis), 45.0f);
    }
    EXPECT_FLOAT_EQ(rm.GetJogJoint(), 1.0f);
    EXPECT_TRUE(capture.Has("RobotMaster: attribute \"JogOri\" not found in line \"Velocities\" of robot ini file!"));
}

TEST_F(RobotMasterConfigTest, PerJointJogAccelerationOverridesTheJointRate) {
    RobotFile file([](XMLElement* r) {
        XMLElement* a = Child(r, "AccelerationJog");
        a->SetAttribute("AccelJogJointDegPerSec2", 100);
        a->SetAttribute("AJJA2", 20);
        a->SetAttribute("DJJE1", 700);
        a->SetAttribute("AJJA5", "nan");
    });
    RobotMaster rm;
    ASSERT_EQ(rm.ReadConfigFile(file.Path()), 0);
    for (int joint = 0; joint < 9; ++joint)
        EXPECT_FLOAT_EQ(rm.GetJogAcceleration(joint), joint == 2 ? 20.0f : 100.0f) << joint;
    EXPECT_FLOAT_EQ(rm.GetJogFastDeceleration(7), 700.0f);
    EXPECT_FLOAT_EQ(rm.GetJogFastDeceleration(0), 360.0f);
    EXPECT_TRUE(rm.IsAccelerationJogActive());
}

TEST_F(RobotMasterConfigTest, ZeroTorqueEntriesAreTrueOnlyForTheTextTrue) {
    RobotFile file([](XMLElement* r) {
        RemoveElement(r, "ZeroTorque");
        XMLElement* z = Child(r, "ZeroTorque");
        z->SetAttribute("A3", "True");
        z->SetAttribute("A4", "1");
        z->SetAttribute("A17", "true");
    });
    LogCapture capture;
    RobotMaster rm;
    ASSERT_EQ(rm.ReadConfigFile(file.Path()), 0);
    for (int joint = 0; joint < 16; ++joint) EXPECT_EQ(rm.IsZeroTorqueAllowed(joint), joint == 2) << joint;
    EXPECT_TRUE(capture.Has("RobotMaster: Zero Torque mode enabled for joints: 0 0 1 0 0 0 0 0 0"));
}

TEST_F(RobotMasterConfigTest, KorvellaLineSetsTheControllerOptions) {
    RobotFile file([](XMLElement* r) {
        XMLElement* k = Child(r, "Korvella");
        k->SetAttribute("DebugMode", "true");
        k->SetAttribute("DisplayPort", "/dev/ttyS3");
        k->SetAttribute("FunctionButtonRefAll", "settozero");
        k->SetAttribute("IgnoreConsistencyCheck", "true");
        k->SetAttribute("JogBias", "x");
    });
    LogCapture capture;
    RobotMaster rm;
    ASSERT_EQ(rm.ReadConfigFile(file.Path()), 0);
    EXPECT_TRUE(rm.IsDebugMode());
    EXPECT_EQ(rm.GetDisplayPortDefault(), "/dev/ttyS3");
    EXPECT_EQ(rm.GetFunctionButtonRefAll(), "settozero");
    EXPECT_TRUE(rm.ipoMain.flagIgnoreConsistencyCheck);
    EXPECT_TRUE(capture.Has("RobotMaster: FunctionButtonRefAll set to: settozero"));
    EXPECT_TRUE(capture.Has("RobotMaster: flagIgnoreConsistencyCheck set to true"));
    EXPECT_TRUE(capture.HasError("RobotMaster: Could not parse JogBias value"));
}

// ---------------------------------------------------------------- rewrite

class RobotMasterRewriteTest : public RobotMasterConfigTest {
protected:
    // A robot master set up from the file, with its model and driver.
    void SetUpRobot(RobotFile& file) {
        rm = std::make_unique<RobotMaster>();
        rm->Init("Arm", "Type", file.Relative());
        ASSERT_NE(rm->GetKinematic(), nullptr);
    }
    std::unique_ptr<RobotMaster> rm;
};

TEST_F(RobotMasterRewriteTest, RewritesBrakeEStopAndLimitsAndKeepsTheRest) {
    RobotFile file([](XMLElement* r) {
        RemoveElement(r, "Brake");
        RemoveElement(r, "EStopMonitoring");
        XMLElement* brake = Child(r, "Brake");
        brake->SetAttribute("Active", "True");
        brake->SetAttribute("DelayMS", 300);  // no DOutChannel: brake not configured
        Child(r, "EStopMonitoring")->SetAttribute("DInChannel", 64);
        Child(r, "Unknown")->SetAttribute("Keep", "me");
    });
    SetUpRobot(file);
    float limits[9][2] = {};
    rm->GetKinematic()->GetMinMaxValues(limits);
    limits[0][0] = -120.5f;
    limits[5][1] = 300.0f;
    rm->GetKinematic()->SetMinMaxValues(limits);

    rm->QueueUpdateRobotFile();

    tinyxml2::XMLDocument document;
    ASSERT_EQ(document.LoadFile(file.Path().c_str()), tinyxml2::XML_SUCCESS);
    XMLElement* robot = document.FirstChildElement("Robot");
    XMLElement* brake = robot->FirstChildElement("Brake");
    ASSERT_NE(brake, nullptr);
    EXPECT_STREQ(brake->Attribute("Active"), "False");
    EXPECT_EQ(brake->IntAttribute("DOutChannel"), -1);
    EXPECT_EQ(brake->IntAttribute("DelayMS"), 300);
    ASSERT_NE(brake->NextSiblingElement(), nullptr);
    EXPECT_STREQ(brake->NextSiblingElement()->Name(), "EStopMonitoring");
    EXPECT_EQ(brake->NextSiblingElement()->IntAttribute("DInChannel"), -1);
    XMLElement* minMax = robot->FirstChildElement("SoftwareMinMax");
    EXPECT_FLOAT_EQ(minMax->FloatAttribute("A1Min"), -120.5f);
    EXPECT_FLOAT_EQ(minMax->FloatAttribute("A6Max"), 300.0f);
    EXPECT_STREQ(robot->FirstChildElement("Unknown")->Attribute("Keep"), "me");
    EXPECT_STREQ(robot->FirstChildElement("BusConfiguration")->Attribute("Protocol"), "VQTCANV3");
    EXPECT_FALSE(std::filesystem::exists(file.Path() + "_tmp"));
}

TEST_F(RobotMasterRewriteTest, UnreadableFileIsLeftAsItIs) {
    RobotFile file;
    SetUpRobot(file);
    const std::string broken = "<Robot><Brake Active=\"True\"";
    file.Write(broken);
    LogCapture capture;
    rm->QueueUpdateRobotFile();
    EXPECT_EQ(file.Read(), broken);
    EXPECT_TRUE(capture.HasStartingWith(
        "RobotMaster: Updating robot configuration: Could not parse configuration file correctly: "));
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeNormal);
}

TEST_F(RobotMasterRewriteTest, DelayedRewriteWaitsForQuietOrMaximumDelay) {
    RobotFile file;
    SetUpRobot(file);
    std::time_t now = 1000;
    rm->SetClock([&]() { return now; });
    auto writes = [&]() {
        // Each rewrite logs one "updated" line.
        LogCapture capture;
        rm->UpdateConfiguration();
        return capture.HasStartingWith("RobotMaster: robot configuration file ");
    };

    EXPECT_FALSE(writes()) << "nothing pending";
    // A burst of requests every 2 s: written once more than 15 s passed since the first.
    std::time_t first = now;
    bool written = false;
    for (; now <= first + 20 && !written; ++now) {
        if ((now - first) % 2 == 0) rm->RequestRobotFileUpdate();
        written = writes();
        if (written) {
            EXPECT_EQ(now - first, 16);
        }
    }
    EXPECT_TRUE(written);
    EXPECT_FALSE(writes()) << "served";

    // Requests that stop: written once more than 3 s passed since the last.
    first = now;
    rm->RequestRobotFileUpdate();
    now += 2;
    rm->RequestRobotFileUpdate();
    now += 3;
    EXPECT_FALSE(writes());
    now += 1;
    EXPECT_TRUE(writes());
}

}  // namespace
