// Robot master operations that need no robot thread: kinematic error texts,
// jog values, PLC triggers, external-axis slots and output states.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "common/LogSingleton.h"
#include "controller/RobotMaster.h"
#include "controller/RobotMasterTestSupport.h"
#include "hardware/ExternalAxis.h"

using RobotMasterTest::LogCapture;

namespace {

class RobotMasterOperationsTest : public ::testing::Test {
protected:
    void SetUp() override { RobotMasterTest::ResetLogState(); }
    void TearDown() override { RobotMasterTest::ResetLogState(); }
    RobotMaster rm;
};

TEST_F(RobotMasterOperationsTest, KinematicErrorTextsAndLogTags) {
    const struct {
        int code;
        const char* text;
        const char* tag;
    } cases[] = {
        {0, "No error", "KinOK"},
        {13, "Joint limit min reached", "ERROR-JointLimit"},
        {14, "Joint limit max reached", "ERROR-JointLimit"},
        {21, "Center singularity", "ERROR-KinCenter"},
        {22, "Out of reach", "ERROR-KinReach"},
        {23, "Wrist singularity", "ERROR-KinWrist"},
        {30, "Virtual box violated in X+", "ERROR-VBoxX+"},
        {31, "Virtual box violated in X-", "ERROR-VBoxX-"},
        {32, "Virtual box violated in Y+", "ERROR-VBoxY+"},
        {33, "Virtual box violated in Y-", "ERROR-VBoxY-"},
        {34, "Virtual box violated in Z+", "ERROR-VBoxZ+"},
        {35, "Virtual box violated in Z-", "ERROR-VBoxZ-"},
        {50, "NAN value in joint position", "ERROR-JointNAN"},
        {98, "Brake active", "ERROR-BrakeActive"},
        {99, "Motion not allowed", "MotionNotAllowed"},
        {7, "Unknown error", "ERROR-7"},
        {-1, "Unknown error", "ERROR--1"},
        {36, "Unknown error", "ERROR-36"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(rm.TranslateKinError(c.code), c.text) << c.code;
        EXPECT_EQ(rm.TranslateKinErrorLog(c.code), c.tag) << c.code;
    }
}

TEST_F(RobotMasterOperationsTest, JogValuesAreClampedAndUnusableValuesDropped) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const float in[9] = {150.0f, -150.0f, 42.5f, nan, inf, -inf, 100.0f, -100.0f, 0.0f};
    rm.SetJogValues(in);
    float out[9];
    rm.GetJogValues(out);
    const float expected[9] = {100.0f, -100.0f, 42.5f, 0.0f, 0.0f, 0.0f, 100.0f, -100.0f, 0.0f};
    for (int i = 0; i < 9; ++i) EXPECT_FLOAT_EQ(out[i], expected[i]) << i;
}

TEST_F(RobotMasterOperationsTest, JogValuesHoldThirtyCyclesThenDecay) {
    const float in[9] = {1.0f, -0.07f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    rm.SetJogValues(in);
    float out[9];
    for (int cycle = 0; cycle < 30; ++cycle) rm.CheckJogValues();
    rm.GetJogValues(out);
    EXPECT_FLOAT_EQ(out[0], 1.0f);
    EXPECT_FLOAT_EQ(out[1], -0.07f);

    rm.CheckJogValues();
    rm.GetJogValues(out);
    EXPECT_NEAR(out[0], 0.95f, 1e-5f);
    EXPECT_FLOAT_EQ(out[1], 0.0f) << "below 0.05 after the step";

    int cycles = 1;
    while (out[0] != 0.0f && cycles < 100) {
        rm.CheckJogValues();
        rm.GetJogValues(out);
        ++cycles;
    }
    EXPECT_FLOAT_EQ(out[0], 0.0f);
    EXPECT_GE(cycles, 19);
    EXPECT_LE(cycles, 21);

    // Exactly 0.05 is not held for ever.
    const float small[9] = {0.05f, -0.05f, 0, 0, 0, 0, 0, 0, 0};
    rm.SetJogValues(small);
    for (int cycle = 0; cycle < 31; ++cycle) rm.CheckJogValues();
    rm.GetJogValues(out);
    EXPECT_FLOAT_EQ(out[0], 0.0f);
    EXPECT_FLOAT_EQ(out[1], 0.0f);

    // A new value starts the hold again.
    rm.SetJogValues(in);
    rm.CheckJogValues();
    rm.GetJogValues(out);
    EXPECT_FLOAT_EQ(out[0], 1.0f);
}

TEST_F(RobotMasterOperationsTest, AtMostTenPLCTriggersAreKept) {
    LogCapture capture;
    for (int i = 0; i < 11; ++i)
        rm.AddPLCTrigger(PLCTrigger::PLCInterfaceTrigger(true, PLCTrigger::PLCInterfaceTrigger::DIn, i,
                                                         PLCTrigger::PLCInterfaceTrigger::Program,
                                                         "p" + std::to_string(i) + ".xml"));
    ASSERT_EQ(rm.GetPLCTriggers().size(), 10u);
    EXPECT_EQ(rm.GetPLCTriggers().back().GetTargetFileRelative(), "p9.xml");
    EXPECT_EQ(capture.Count("Can not add more than 10 PLC triggers"), 1);

    rm.ClearPLCTriggers();
    EXPECT_TRUE(rm.GetPLCTriggers().empty());
    for (int i = 0; i < 10; ++i)
        rm.AddPLCTrigger(PLCTrigger::PLCInterfaceTrigger(true, PLCTrigger::PLCInterfaceTrigger::GSig, i,
                                                         PLCTrigger::PLCInterfaceTrigger::Mission, "m.xml"));
    ASSERT_EQ(rm.GetPLCTriggers().size(), 10u);
    EXPECT_EQ(rm.GetPLCTriggers().front().GetSignalType(), PLCTrigger::PLCInterfaceTrigger::GSig);
}

TEST_F(RobotMasterOperationsTest, ExternalAxisSlots) {
    LogCapture capture;
    EXPECT_THROW(rm.GetExternalAxis(3), std::out_of_range);
    EXPECT_THROW(rm.GetExternalAxis(-1), std::out_of_range);
    EXPECT_THROW(rm.GetExternalAxis(1), std::invalid_argument);
    EXPECT_FALSE(rm.HasExternalAxis(7));

    rm.SetExternalAxis(ExternalAxis(3, "Bad", Hardware::JointModePosition));
    EXPECT_TRUE(capture.HasError("RobotMaster: External axis number out of range"));

    ExternalAxis axis(1, "Rail", Hardware::JointModeVelocity);
    axis.canId = 40;
    rm.SetExternalAxis(axis);
    ASSERT_TRUE(rm.HasExternalAxis(1));
    EXPECT_EQ(rm.GetExternalAxis(1).canId, 40);
    EXPECT_FALSE(rm.HasExternalAxis(0));

    rm.RemoveExternalAxis(1);
    EXPECT_FALSE(rm.HasExternalAxis(1));
    EXPECT_THROW(rm.RemoveExternalAxis(5), std::out_of_range);
    rm.SetExternalAxis(axis);
    rm.ClearExternalAxes();
    EXPECT_FALSE(rm.HasExternalAxis(1));
}

TEST_F(RobotMasterOperationsTest, OutputStatesOutsideTheOutputsAreIgnored) {
    rm.SetDOutOnReset(3, DOutTargetState::True);
    rm.SetDOutOnError(63, DOutTargetState::False);
    rm.SetDOutOnReset(64, DOutTargetState::True);
    rm.SetDOutOnError(-1, DOutTargetState::True);
    EXPECT_EQ(rm.GetDOutOnReset(3), DOutTargetState::True);
    EXPECT_EQ(rm.GetDOutOnError(63), DOutTargetState::False);
    EXPECT_EQ(rm.GetDOutOnReset(4), DOutTargetState::NoChange);
    EXPECT_EQ(rm.GetDOutOnReset(64), DOutTargetState::NoChange);
    EXPECT_EQ(rm.GetDOutOnError(-1), DOutTargetState::NoChange);
}

TEST_F(RobotMasterOperationsTest, ProgramSettingsForTheProjectFile) {
    rm.SetProgramDefaultState(5);
    EXPECT_EQ(rm.GetProgramDefaultState(), 1);
    EXPECT_EQ(rm.ipoMain.stopOnError, 1);
    rm.SetProgramDefaultState(0);
    EXPECT_EQ(rm.GetProgramDefaultState(), 0);
    EXPECT_EQ(rm.GetProgramFile(), "") << "nothing loaded";
    EXPECT_EQ(rm.GetReplayMode(), IPO::ReplayRepeat);
    EXPECT_FLOAT_EQ(rm.GetOverride(), 100.0f);
}

TEST_F(RobotMasterOperationsTest, StatisticsStartSoTheFirstCycleSetsThem) {
    EXPECT_FLOAT_EQ(rm.GetMaxCycleTime(), 0.0f);
    EXPECT_GT(rm.GetMinCycleTime(), 1.0e6f);
    rm.ResetMinCycleTime();
    EXPECT_FLOAT_EQ(rm.GetMinCycleTime(), 99999999.0f);
}

TEST_F(RobotMasterOperationsTest, HelpersForChannelsAndTime) {
    EXPECT_TRUE(RobotMaster::IsValidIONum(0));
    EXPECT_TRUE(RobotMaster::IsValidIONum(63));
    EXPECT_FALSE(RobotMaster::IsValidIONum(64));
    EXPECT_FALSE(RobotMaster::IsValidIONum(-1));
    const timespec t = RobotMaster::FromMicroSec(3000123ull);
    EXPECT_EQ(t.tv_sec, 3);
    EXPECT_EQ(t.tv_nsec, 123000);
    EXPECT_EQ(RobotMaster::ToMicroSec(t), 3000123ull);
    const float still[9] = {0.001f, -0.001f, 0, 0, 0, 0, 0, 0, 0};
    const float moving[9] = {0, 0, 0, 0, 0, 0, 0, 0, -0.0011f};
    EXPECT_FALSE(RobotMaster::IsJogRequested(still));
    EXPECT_TRUE(RobotMaster::IsJogRequested(moving));
}

TEST_F(RobotMasterOperationsTest, NoBrakeMeansNoBrakeMessages) {
    LogCapture capture;
    rm.SetBrake(false, false);
    rm.SetBrake(true, true);
    rm.SetBrake(true, false);
    EXPECT_FALSE(capture.HasStartingWith("Brake"));
    EXPECT_FALSE(capture.HasStartingWith("Releasing"));
    EXPECT_FALSE(capture.HasStartingWith("Enabling"));
    EXPECT_FALSE(rm.IsBrakeActive());
}

}  // namespace
