// Set-up of the robot master: model and driver from their names, the
// failures that leave one of them missing, and what the project reader and
// main call afterwards.

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <tinyxml2.h>

#include "common/LogSingleton.h"
#include "controller/RobotMaster.h"
#include "controller/RobotMasterTestSupport.h"
#include "hardware/ExternalAxis.h"
#include "hardware/HardwareProtocol.h"
#include "kinematics/RobotKinematic.h"

using RobotMasterTest::Child;
using RobotMasterTest::LogCapture;
using RobotMasterTest::RobotFile;
using tinyxml2::XMLElement;

namespace {

class RobotMasterInitTest : public ::testing::Test {
protected:
    void SetUp() override { RobotMasterTest::ResetLogState(); }
    void TearDown() override { RobotMasterTest::ResetLogState(); }
};

// Everything the project reader and main do after Init, in their order.
void RunRestOfStartUp(RobotMaster& rm) {
    const double home[9] = {0, -30, 60, 0, 30, 0, 0, 0, 0};
    rm.SetHomePos(home);
    rm.SetVirtualBox(true, DataTypes::Vector3(-1, -1, -1), DataTypes::Vector3(1, 1, 1));
    ExternalAxis axis(0, "Rail", Hardware::JointModePosition);
    rm.SetExternalAxis(axis);
    rm.InitExternalJoints();
    rm.InitDIOModule(112);
    rm.UpdateConfigurationFile();
    rm.FinishInit();
    rm.StopMainLoop();
}

TEST_F(RobotMasterInitTest, SampleRobotGetsSixAxisModelAndVersionThreeDriver) {
    RobotFile file;
    LogCapture capture;
    RobotMaster rm;
    rm.SetVelocitySetting(2);
    rm.Init("Arm", "KorvellaSix", file.Relative());
    ASSERT_NE(rm.GetKinematic(), nullptr);
    ASSERT_NE(rm.GetHardware(), nullptr);
    EXPECT_EQ(rm.GetHardware()->protocolVersion, 3);
    EXPECT_EQ(rm.GetKinematic()->nrOfJoints, 6);
    EXPECT_DOUBLE_EQ(rm.GetKinematic()->cycleTimeMs, 10.0);
    EXPECT_EQ(rm.ipoMain.velocitySetting, 2);
    EXPECT_EQ(rm.ipoLogic.velocitySetting, 2);
    EXPECT_EQ(rm.ipoDirect.lookAhead, 3);
    EXPECT_FLOAT_EQ(rm.ipoMain.smoothDistCart, 100.0f);
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeNormal);
    EXPECT_TRUE(capture.Has("RobotMaster: 10 ms cycle time"));
    EXPECT_TRUE(capture.Has("Korvella DebugMode: Off"));
    EXPECT_TRUE(capture.Has("No gripper attached to the robot (to change set type in project file)."));
    RunRestOfStartUp(rm);
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeNormal);
}

struct FailureCase {
    const char* name;
    std::function<void(XMLElement*)> edit;
    bool deleteFile;
    const char* reason;
    bool hasModel;
    bool hasDriver;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class RobotMasterInitFailureTest : public ::testing::TestWithParam<FailureCase> {
protected:
    void SetUp() override { RobotMasterTest::ResetLogState(); }
    void TearDown() override { RobotMasterTest::ResetLogState(); }
};

// Whatever Init could not create, the rest of the start-up must not trip over.
TEST_P(RobotMasterInitFailureTest, LeavesNothingThatLaterStepsDereference) {
    const FailureCase& c = GetParam();
    RobotFile file(c.edit);
    std::string relative = file.Relative();
    if (c.deleteFile) relative += ".missing";
    RobotMaster rm;
    rm.Init("Arm", "Type", relative);
    EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), c.reason);
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeSeriousFail);
    EXPECT_EQ(rm.GetKinematic() != nullptr, c.hasModel);
    EXPECT_EQ(rm.GetHardware() != nullptr, c.hasDriver);

    RunRestOfStartUp(rm);
    bool active = false;
    DataTypes::Vector3 min, max;
    EXPECT_EQ(rm.GetVirtualBox(active, min, max), c.hasModel);
    uint8_t ids[3] = {9, 9, 9};
    EXPECT_EQ(rm.GetDIOModuleIDs(ids[0], ids[1], ids[2]), c.hasDriver);
    EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), c.reason) << "later steps keep the first reason";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RobotMasterInitFailureTest,
    ::testing::Values(
        FailureCase{"RobotFileMissing", nullptr, true, "31 Robot Ini file not found", true, true},
        FailureCase{"UnknownRobotType", [](XMLElement* r) { Child(r, "Kinematic")->SetAttribute("Type", "cartesian"); },
                    false, "10 robot type unknown", false, false},
        FailureCase{"UnknownProtocol",
                    [](XMLElement* r) { Child(r, "BusConfiguration")->SetAttribute("Protocol", "CANbus"); }, false,
                    "11 protocol type unknown", true, false},
        FailureCase{"IncompleteDriverSettings",
                    [](XMLElement* r) { Child(r, "BusConfiguration")->DeleteAttribute("GapMS"); }, false,
                    "65 Protocol Ini file not complete", true, true}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST_F(RobotMasterInitTest, ExternalAxisInSecondSlotTakesJointEightVelocity) {
    RobotFile file;
    RobotMaster rm;
    rm.Init("Arm", "KorvellaSix", file.Relative());
    ExternalAxis axis(1, "Turntable", Hardware::JointModeVelocity);
    axis.velMax = 33.0;
    axis.acc = 66.0;
    rm.SetExternalAxis(axis);
    rm.InitExternalJoints();
    rm.SyncJointVelData();
    EXPECT_DOUBLE_EQ(rm.GetJointMaxVelocity(7), 33.0);
    EXPECT_EQ(rm.GetKinematic()->nrOfExternalAxes, 1);
    EXPECT_EQ(rm.GetHardware()->externalJointCount, 1);
}

TEST_F(RobotMasterInitTest, FinishInitHandsOutModelCopiesAndPartCounters) {
    RobotFile file;
    LogSingleton* log = LogSingleton::instance();
    log->PartsGood = 17;
    log->PartsBad = 4;
    log->Active = true;
    log->ManualMaxVelMMPerSec = 125.5f;
    log->DInOpModeAuto = 30;
    LogCapture capture;
    RobotMaster rm;
    rm.Init("Arm", "KorvellaSix", file.Relative());
    rm.FinishInit();
    EXPECT_TRUE(rm.IsMainLoopRunning());
    EXPECT_FALSE(rm.IsCycleSuspended());
    rm.StopMainLoop();
    EXPECT_FALSE(rm.IsMainLoopRunning());

    for (IPO* ipo : {&rm.ipoMain, &rm.ipoLogic, &rm.ipoDirect}) {
        ASSERT_NE(ipo->GetKinematic(), nullptr);
        EXPECT_NE(ipo->GetKinematic(), rm.GetKinematic()) << "each interpreter has its own copy";
        EXPECT_DOUBLE_EQ(ipo->cartMaxVelocity, 250.0);
        EXPECT_DOUBLE_EQ(ipo->jointMaxVelocities[3], 120.0);
    }
    EXPECT_NE(rm.ipoMain.GetKinematic(), rm.ipoLogic.GetKinematic());
    EXPECT_DOUBLE_EQ(rm.programMemory.GetVariable("#parts-good").number, 17.0);
    EXPECT_DOUBLE_EQ(rm.programMemory.GetVariable("#parts-bad").number, 4.0);
    EXPECT_TRUE(rm.IsOperationModesEnabled());
    EXPECT_TRUE(capture.Has(
        "RobotMaster: OperationModes: Active=1 ManualModeMaxVel=125.50 [mm/s]   DInCh-Auto: 30  "
        "DInCh-EnableManualMotion: -1"));
    log->PartsGood = 0;
    log->PartsBad = 0;
}

TEST_F(RobotMasterInitTest, HomePositionSetsJointsAndPose) {
    RobotFile file;
    RobotMaster rm;
    rm.Init("Arm", "KorvellaSix", file.Relative());
    const double home[9] = {10, -30, 60, 0, 30, 0, 0, 0, 0};
    rm.SetHomePos(home);
    float joints[9] = {};
    rm.GetKinematic()->GetJoints(joints);
    EXPECT_FLOAT_EQ(joints[0], 10.0f);
    EXPECT_FLOAT_EQ(joints[2], 60.0f);
    double stored[9] = {};
    rm.GetHomePos(stored);
    EXPECT_DOUBLE_EQ(stored[1], -30.0);
}

}  // namespace
