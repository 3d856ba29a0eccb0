// The PLC interface of the robot cycle against the simulated bus: inputs on
// the two I/O modules act once per rising edge, the status outputs reach the
// second module, and PLC triggers load and start programs.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "controller/CommandRunner.h"
#include "controller/IOModuleBusSupport.h"
#include "controller/PLCInterfaceTrigger.h"

namespace {

using IOBusTest::WaitFor;
using PLCTrigger::PLCInterfaceTrigger;

// Inputs of the first module, outputs of the second.
constexpr int EStopIn = 20, EnableIn = 21, PlayIn = 22, PauseIn = 23, ReferenceIn = 24, AltStartIn = 25,
              AltStopIn = 26, ShutdownIn = 30;
constexpr int NoFaultOut = 30, FaultOut = 31, RunningOut = 32, NotRunningOut = 33, ReferencedOut = 34;
// The output the test program switches on (first module).
constexpr int ProgramOut = 20;

class PLCInterfaceBus : public IOBusTest::RobotOnIOBus {
protected:
    void SetUp() override {
        IOBusTest::RobotOnIOBus::SetUp();
        PLCInterfaceSettings& plc = LogSingleton::instance()->get_plcInterfaceNr();
        plc.Active = true;
        plc.EnableNumber = EnableIn;
        plc.PlayNumber = PlayIn;
        plc.PauseNumber = PauseIn;
        plc.RequestReferenceNumber = ReferenceIn;
        plc.AltStartNumber = AltStartIn;
        plc.AltStopNumber = AltStopIn;
        plc.ShutdownNumber = ShutdownIn;
        plc.NoFaultNumber = NoFaultOut;
        plc.FaultNumber = FaultOut;
        plc.ProgramRunningNumber = RunningOut;
        plc.ProgramNotRunningNumber = NotRunningOut;
        plc.RobotIsReferenced = ReferencedOut;
        TestSupport::WriteFile(sample.File("Data/Programs/plc.xml"),
                               "<Program><Output Nr=\"1\" Channel=\"DOut21\" State=\"true\"/>"
                               "<Wait Nr=\"2\" Type=\"Time\" Seconds=\"60\"/></Program>");
    }
    void TearDown() override {
        CommandRunner::SetRunFunction(nullptr);
        IOBusTest::RobotOnIOBus::TearDown();
    }

    // Raises the input and waits for the action's log line.
    void Rise(int channel, const std::string& line) {
        const int before = log.Count(line);
        ASSERT_NO_FATAL_FAILURE(Input(channel, true));
        ASSERT_TRUE(WaitFor([&]() { return log.Count(line) > before; })) << line;
    }
    void Pulse(int channel, const std::string& line) {
        ASSERT_NO_FATAL_FAILURE(Rise(channel, line));
        ASSERT_NO_FATAL_FAILURE(Input(channel, false));
    }
    // The status outputs in the published state: no fault, fault, running, not running, referenced.
    std::vector<bool> Outputs() const {
        const DataTypes::RobotState s = State();
        return {s.digitalOutputs[NoFaultOut], s.digitalOutputs[FaultOut], s.digitalOutputs[RunningOut],
                s.digitalOutputs[NotRunningOut], s.digitalOutputs[ReferencedOut]};
    }
    bool OutputsBecome(const std::vector<bool>& want) {
        return WaitFor([&]() { return Outputs() == want; });
    }
    std::vector<std::string> PLCLines() const { return log.StartingWith("PLCInterface:"); }
};

TEST_F(PLCInterfaceBus, EachInputActsOncePerRisingEdgeAndTheOutputsFollow) {
    sample.EditRobot([](tinyxml2::XMLElement* robot) {
        robot->FirstChildElement("EStopMonitoring")->SetAttribute("DInChannel", EStopIn);
    });
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_NO_FATAL_FAILURE(Input(EStopIn, true));  // active low: released
    EXPECT_TRUE(OutputsBecome({false, true, false, false, false})) << "drives not ready: fault";

    ASSERT_NO_FATAL_FAILURE(Rise(EnableIn, "PLCInterface: Enable"));
    EXPECT_TRUE(WaitFor([&]() { return HasMessage("PLC: Enable"); })) << "PLC: Enable";
    ASSERT_TRUE(WaitFor([&]() { return State().errorText == "NoError"; })) << State().errorText;
    EXPECT_TRUE(OutputsBecome({true, false, false, true, false}));
    RobotMaster::wait(300);
    EXPECT_EQ(log.Count("PLCInterface: Enable"), 1) << "held on, it acts once";
    EXPECT_EQ(log.Count("PLCInterface: Reset"), 0);
    ASSERT_NO_FATAL_FAILURE(Input(EnableIn, false));
    ASSERT_NO_FATAL_FAILURE(Rise(EnableIn, "PLCInterface: Reset"));
    EXPECT_TRUE(WaitFor([&]() { return HasMessage("PLC: Reset"); })) << "PLC: Reset";

    ASSERT_NO_FATAL_FAILURE(Rise(ReferenceIn, "PLCInterface: Starting Reference All Joints"));
    EXPECT_TRUE(WaitFor([&]() { return HasMessage("PLC: RefAll"); })) << "PLC: RefAll";
    ASSERT_NO_FATAL_FAILURE(WaitReferenced());
    EXPECT_TRUE(OutputsBecome({true, false, false, true, true}));

    ASSERT_EQ(rm->ipoMain.LoadProgramSynchronous("plc.xml", true), 0);
    RobotMaster::wait(200);
    EXPECT_FALSE(rm->ipoMain.IsReplayRunning()) << "nothing runs before the play edge";
    ASSERT_NO_FATAL_FAILURE(Rise(PlayIn, "PLCInterface: Play"));
    EXPECT_TRUE(WaitFor([&]() { return HasMessage("PLC: Play"); })) << "PLC: Play";
    ASSERT_TRUE(WaitFor([&]() { return State().digitalOutputs[ProgramOut]; })) << "the program runs";
    EXPECT_TRUE(OutputsBecome({true, false, true, false, true}));

    ASSERT_NO_FATAL_FAILURE(Rise(PauseIn, "PLCInterface: Pause"));
    EXPECT_TRUE(WaitFor([&]() { return HasMessage("PLC: Pause"); })) << "PLC: Pause";
    EXPECT_TRUE(WaitFor([&]() { return rm->ipoMain.GetRunState() == IPO::RunStatePaused; }));
    EXPECT_TRUE(OutputsBecome({true, false, false, true, true}));
    ASSERT_NO_FATAL_FAILURE(Input(PauseIn, false));
    ASSERT_NO_FATAL_FAILURE(Rise(PauseIn, "PLCInterface: Continue"));
    EXPECT_TRUE(WaitFor([&]() { return HasMessage("PLC: Continue"); })) << "PLC: Continue";
    EXPECT_TRUE(WaitFor([&]() { return rm->ipoMain.GetRunState() == IPO::RunStateRunning; }));

    ASSERT_NO_FATAL_FAILURE(Input(PlayIn, false));
    ASSERT_NO_FATAL_FAILURE(Rise(PlayIn, "PLCInterface: Stop"));
    EXPECT_TRUE(WaitFor([&]() { return HasMessage("PLC: Stop"); })) << "PLC: Stop";
    EXPECT_TRUE(WaitFor([&]() { return rm->ipoMain.GetRunState() == IPO::RunStateIdle; }));
    EXPECT_TRUE(OutputsBecome({true, false, false, true, true}));
    // The status outputs reached the second module.
    EXPECT_TRUE(WaitFor([&]() { return bus.SawOutput(RunningOut, true) && bus.LastOutput(NotRunningOut); }));

    // With the E-stop input off every action is refused, and needs a new edge after it clears.
    for (int channel : {EnableIn, PlayIn, PauseIn, ReferenceIn}) ASSERT_NO_FATAL_FAILURE(Input(channel, false));
    ASSERT_NO_FATAL_FAILURE(Input(EStopIn, false));
    ASSERT_TRUE(WaitFor([&]() { return rm->IsEStopDetected(); }));
    EXPECT_TRUE(OutputsBecome({false, true, false, false, true}));
    const struct {
        int channel;
        const char* line;
    } refused[] = {
        {EnableIn, "PLCInterface: Enable requested but E-Stop detected"},
        {PlayIn, "PLCInterface: Play requested but E-Stop detected"},
        {PauseIn, "PLCInterface: Pause requested but E-Stop detected"},
        {ReferenceIn, "PLCInterface: Reference all requested but E-Stop detected"},
        {AltStartIn, "PLCInterface: AltStart requested but E-Stop detected"},
        {AltStopIn, "PLCInterface: AltStop requested but E-Stop detected"},
    };
    for (const auto& r : refused) ASSERT_NO_FATAL_FAILURE(Rise(r.channel, r.line));
    const std::size_t linesBefore = PLCLines().size();
    ASSERT_NO_FATAL_FAILURE(Input(EStopIn, true));
    RobotMaster::wait(300);
    EXPECT_EQ(PLCLines().size(), linesBefore) << "inputs held through the E-stop do not act";
    EXPECT_FALSE(rm->ipoMain.IsReplayRunning());
    for (const auto& r : refused) EXPECT_EQ(log.Count(r.line), 1) << r.line;
}

TEST_F(PLCInterfaceBus, PLCProgramControlNeverWaitsForAStepOnTheRobotThread) {
    ASSERT_NO_FATAL_FAILURE(StartReady());
    ASSERT_EQ(rm->ipoMain.LoadProgramSynchronous("plc.xml", true), 0);
    const auto waits = [&]() {
        return rm->ipoMain.GetStepWaits() + rm->ipoLogic.GetStepWaits() + rm->ipoDirect.GetStepWaits();
    };
    const uint64_t before = waits();
    ASSERT_NO_FATAL_FAILURE(Pulse(EnableIn, "PLCInterface: Reset"));
    ASSERT_NO_FATAL_FAILURE(Pulse(PlayIn, "PLCInterface: Play"));
    ASSERT_TRUE(WaitFor([&]() { return rm->ipoMain.GetRunState() == IPO::RunStateRunning; }));
    ASSERT_NO_FATAL_FAILURE(Pulse(PauseIn, "PLCInterface: Pause"));
    ASSERT_TRUE(WaitFor([&]() { return rm->ipoMain.GetRunState() == IPO::RunStatePaused; }));
    ASSERT_NO_FATAL_FAILURE(Pulse(PauseIn, "PLCInterface: Continue"));
    ASSERT_TRUE(WaitFor([&]() { return rm->ipoMain.GetRunState() == IPO::RunStateRunning; }));
    ASSERT_NO_FATAL_FAILURE(Pulse(PlayIn, "PLCInterface: Stop"));
    ASSERT_TRUE(WaitFor([&]() { return rm->ipoMain.GetRunState() == IPO::RunStateIdle; }));
    // Every action ran on the robot thread, which is the one that steps: none held its cycle.
    EXPECT_EQ(waits(), before);
    // The stop reads as the PLC's stop, and no pause was made of it.
    EXPECT_EQ(rm->ipoMain.lastStopReason.load(), IPO::PLC);
    EXPECT_EQ(log.Count("IPO:    Pausing Program"), 1);
}

TEST_F(PLCInterfaceBus, OneButtonStartAndStopWalkThroughEnableReferenceRunPauseStopAndReset) {
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_EQ(rm->ipoMain.LoadProgramSynchronous("plc.xml", true), 0);
    ASSERT_NO_FATAL_FAILURE(Pulse(AltStartIn, "PLCInterface: AltStart - Reset/Enable"));
    EXPECT_TRUE(WaitFor([&]() { return HasMessage("PLC: Reset/Enable"); })) << "PLC: Reset/Enable";
    ASSERT_TRUE(WaitFor([&]() { return State().errorText == "NoError"; })) << State().errorText;
    ASSERT_NO_FATAL_FAILURE(Pulse(AltStartIn, "PLCInterface: AltStart - RefAll"));
    EXPECT_TRUE(WaitFor([&]() { return HasMessage("PLC: RefAll"); })) << "PLC: RefAll";
    ASSERT_NO_FATAL_FAILURE(WaitReferenced());
    ASSERT_NO_FATAL_FAILURE(Pulse(AltStartIn, "PLCInterface: AltStart - StartProgram"));
    EXPECT_TRUE(WaitFor([&]() { return HasMessage("PLC: Start"); })) << "PLC: Start";
    ASSERT_TRUE(WaitFor([&]() { return rm->ipoMain.IsReplayRunning(); }));

    ASSERT_NO_FATAL_FAILURE(Pulse(AltStopIn, "PLCInterface: AltStop - Pause"));
    ASSERT_TRUE(WaitFor([&]() { return rm->ipoMain.GetRunState() == IPO::RunStatePaused; }));
    ASSERT_NO_FATAL_FAILURE(Pulse(AltStopIn, "PLCInterface: AltStart - StopProgram"));
    ASSERT_TRUE(WaitFor([&]() { return rm->ipoMain.GetRunState() == IPO::RunStateIdle; }));
    const int resets = log.Count("RobotMaster:  Resetting Joints");
    ASSERT_NO_FATAL_FAILURE(Pulse(AltStopIn, "PLCInterface: AltStart - Reset"));
    EXPECT_TRUE(WaitFor([&]() { return log.Count("RobotMaster:  Resetting Joints") > resets; }));
}

TEST_F(PLCInterfaceBus, ShutdownInputStopsTheProgramAndPowersOff) {
    std::vector<std::string> commands;
    std::mutex commandMutex;
    CommandRunner::SetRunFunction([&](const std::string& command) {
        std::lock_guard<std::mutex> lock(commandMutex);
        commands.push_back(command);
        return 0;
    });
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_NO_FATAL_FAILURE(Rise(ShutdownIn, "PLCInterface: Shutting down the system"));
    EXPECT_TRUE(WaitFor([&]() { return HasMessage("PLC: Shutdown"); })) << "PLC: Shutdown";
    ASSERT_TRUE(WaitFor([&]() {
        std::lock_guard<std::mutex> lock(commandMutex);
        return !commands.empty();
    }));
    std::lock_guard<std::mutex> lock(commandMutex);
    EXPECT_EQ(commands, std::vector<std::string>{"systemctl poweroff"});
}

TEST_F(PLCInterfaceBus, InactiveInterfaceServesNothingButTriggersStillFire) {
    LogSingleton::instance()->get_plcInterfaceNr().Active = false;
    TestSupport::WriteFile(sample.File("Data/Programs/trig.xml"),
                           "<Program><Output Nr=\"1\" Channel=\"DOut36\" State=\"true\"/>"
                           "<Wait Nr=\"2\" Type=\"Time\" Seconds=\"60\"/></Program>");
    ASSERT_NO_FATAL_FAILURE(StartReady());
    rm->AddPLCTrigger(PLCInterfaceTrigger(true, PLCInterfaceTrigger::DIn, 64, PLCInterfaceTrigger::Program, "trig.xml"));
    rm->AddPLCTrigger(PLCInterfaceTrigger(true, PLCInterfaceTrigger::GSig, 100, PLCInterfaceTrigger::Program, "trig.xml"));
    // Two triggers on one input: the second edge comes while the first load runs.
    rm->AddPLCTrigger(PLCInterfaceTrigger(true, PLCInterfaceTrigger::DIn, PlayIn, PLCInterfaceTrigger::Program, "trig.xml"));
    rm->AddPLCTrigger(PLCInterfaceTrigger(true, PLCInterfaceTrigger::DIn, PlayIn, PLCInterfaceTrigger::Program, "trig.xml"));

    ASSERT_NO_FATAL_FAILURE(Input(EnableIn, true));
    RobotMaster::wait(300);
    EXPECT_TRUE(PLCLines().empty()) << "inputs are not served";
    EXPECT_FALSE(State().digitalOutputs[NoFaultOut]);
    EXPECT_FALSE(State().digitalOutputs[NotRunningOut]);
    EXPECT_EQ(log.Count("RobotMaster: PLC-Interface - Trigger 0 has invalid channel 64"), 1) << "reported once";
    EXPECT_EQ(log.Count("RobotMaster: PLC-Interface - Trigger 1 has invalid channel 100"), 1) << "reported once";

    ASSERT_NO_FATAL_FAILURE(Input(PlayIn, true));
    ASSERT_TRUE(WaitFor([&]() { return State().digitalOutputs[35]; })) << "the trigger's program runs";
    EXPECT_EQ(log.Count("RobotMaster: PLC-Interface - Trigger 2 detected!"), 1);
    EXPECT_EQ(log.Count("RobotMaster: PLC-Interface - Trigger 3 detected!"), 1);
    EXPECT_EQ(log.Count("RobotMaster: Could not load program, IPO is still loading a program!"), 1);
    EXPECT_EQ(log.Count("Starting Program"), 1) << "one load, one start";
    EXPECT_EQ(rm->ipoMain.GetProgramFile(), "trig.xml");
    RobotMaster::wait(300);
    EXPECT_EQ(log.Count("RobotMaster: PLC-Interface - Trigger 2 detected!"), 1) << "held on, it fires once";
}

}  // namespace
