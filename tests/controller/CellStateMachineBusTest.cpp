// The injection-moulding cell on the simulated bus: six phase programs of
// outputs and waits, the machine's signals on the second I/O module set
// through the simulator's fault channel, the handshake outputs read back from
// the robot state and the module's frames.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "PkgProgram/StateMachineDIZ.h"
#include "controller/IOModuleBusSupport.h"

namespace {

using IOBusTest::WaitFor;
using TavixStateMachine::StateMachineDIZ;

// Machine signals (second module).
constexpr int In30 = 30, In31 = 31, AutoIn = 32, In33 = 33, In34 = 34;
// Handshake outputs (second module) and the robot's failure output (first module).
constexpr int Release1 = 30, Release2 = 31, EjectorBack = 33, EjectorFront = 34, FailureOut = 25;
// The output each phase program switches on (first module, beside the failure output).
constexpr int PhaseOut[6] = {20, 21, 22, 23, 24, 26};

class CellBus : public IOBusTest::RobotOnIOBus {
protected:
    void SetUp() override {
        IOBusTest::RobotOnIOBus::SetUp();
        // Each phase switches its own output of the first module on and waits a little.
        for (int phase = 0; phase < 6; ++phase) WritePhase(phase, "0.2");
    }
    void WritePhase(int phase, const char* seconds) {
        char body[256];
        std::snprintf(body, sizeof(body),
                      "<Program><Output Nr=\"1\" Channel=\"DOut%d\" State=\"true\"/>"
                      "<Wait Nr=\"2\" Type=\"Time\" Seconds=\"%s\"/></Program>",
                      PhaseOut[phase] + 1, seconds);
        TestSupport::WriteFile(sample.File(std::string("Data/Programs/") + StateMachineDIZ::ProgramFiles[phase]), body);
    }
    // Ready robot, the machine in automatic mode with the mould closed.
    void StartMachine() {
        ASSERT_NO_FATAL_FAILURE(StartReady());
        ASSERT_NO_FATAL_FAILURE(Input(AutoIn, true));
        ASSERT_NO_FATAL_FAILURE(Input(In31, true));
    }
    void StartCell() {
        rm->StartStopEM67FSM();
        ASSERT_TRUE(rm->fsmActive.load()) << "the cell did not start";
    }
    int CellState() const { return rm->stateMachine.GetState(); }
    bool ReachesState(int wanted, std::chrono::seconds limit = std::chrono::seconds(30)) {
        return WaitFor([&]() { return CellState() == wanted; }, limit);
    }
    std::vector<int> StatesLogged() const {
        std::vector<int> states;
        for (const std::string& line : log.StartingWith("FSM running in state "))
            states.push_back(std::stoi(line.substr(21)));
        return states;
    }
    bool Out(int channel) const { return State().digitalOutputs[channel]; }
};

TEST_F(CellBus, WalksThroughThePhasesWithTheHandshakeThenStopsWhenAutoDropsAndRestartsAtHome) {
    ASSERT_NO_FATAL_FAILURE(StartMachine());
    ASSERT_NO_FATAL_FAILURE(StartCell());
    EXPECT_TRUE(log.Has("FSM EM67 initialized."));
    EXPECT_EQ(rm->GetMotionType(), MotionTypeFSM);

    // Home, then the idle phase; the in-mould phase waits for the machine.
    ASSERT_TRUE(ReachesState(StateMachineDIZ::StateIdle));
    EXPECT_TRUE(WaitFor([&]() { return Out(Release1) && Out(Release2); })) << "clear of the mould";
    EXPECT_TRUE(Out(PhaseOut[0])) << "the home program ran";
    ASSERT_TRUE(ReachesState(StateMachineDIZ::StateInMould));
    RobotMaster::wait(300);
    EXPECT_EQ(CellState(), StateMachineDIZ::StateInMould);
    EXPECT_FALSE(Out(PhaseOut[1])) << "no entry before input 34";
    EXPECT_TRUE(Out(Release1));

    ASSERT_NO_FATAL_FAILURE(Input(In34, true));
    ASSERT_TRUE(ReachesState(StateMachineDIZ::StateEjectorFront));
    // Outputs are published at the end of the cycle that set them.
    EXPECT_TRUE(WaitFor([&]() { return !Out(Release1) && !Out(Release2); })) << "in the mould";
    EXPECT_TRUE(WaitFor([&]() { return Out(EjectorFront); }));
    EXPECT_TRUE(Out(PhaseOut[1]));

    ASSERT_NO_FATAL_FAILURE(Input(In33, true));
    ASSERT_NO_FATAL_FAILURE(Input(In34, false));
    ASSERT_TRUE(ReachesState(StateMachineDIZ::StateEjectorBack));
    EXPECT_TRUE(WaitFor([&]() { return !Out(EjectorFront) && Out(EjectorBack); }));

    ASSERT_NO_FATAL_FAILURE(Input(In33, false));
    ASSERT_NO_FATAL_FAILURE(Input(In34, true));
    ASSERT_TRUE(ReachesState(StateMachineDIZ::StateOutOfMould));
    EXPECT_TRUE(WaitFor([&]() { return !Out(EjectorBack); }));
    // The mould stays open this time, so the next in-mould phase waits.
    ASSERT_NO_FATAL_FAILURE(Input(In34, false));
    ASSERT_TRUE(ReachesState(StateMachineDIZ::StateIdle));
    EXPECT_TRUE(WaitFor([&]() { return Out(Release1) && Out(Release2); })) << "out of the mould";
    for (int phase = 0; phase < 6; ++phase) EXPECT_TRUE(Out(PhaseOut[phase])) << "phase program " << phase;
    // The line follows the state change at the end of the cycle's step.
    ASSERT_TRUE(WaitFor([&]() { return StatesLogged().size() >= 7; }));
    const std::vector<int> walk = StatesLogged();
    EXPECT_EQ(std::vector<int>(walk.begin(), walk.begin() + 7), (std::vector<int>{0, 1, 2, 3, 4, 5, 1}));
    EXPECT_TRUE(rm->fsmActive.load()) << "starting each phase program never stopped the cell";
    // The handshake reached the machine through the second module.
    for (int channel : {Release1, EjectorFront, EjectorBack})
        EXPECT_TRUE(bus.SawOutput(channel, true)) << "output " << channel;

    // The machine leaves automatic mode: the next in-mould phase ends the cell.
    ASSERT_TRUE(ReachesState(StateMachineDIZ::StateInMould));
    ASSERT_NO_FATAL_FAILURE(Input(AutoIn, false));
    ASSERT_TRUE(WaitFor([&]() { return !rm->fsmActive.load(); }));
    EXPECT_TRUE(log.Has("DIZ: BA Auto nicht gesetzt --> Abbruch des Zyklus!"));
    EXPECT_EQ(CellState(), StateMachineDIZ::StateStart);
    EXPECT_EQ(rm->GetMotionType(), MotionTypeRobotJoint);

    // Stopped while a phase program runs, the cell starts again with the home program.
    ASSERT_NO_FATAL_FAILURE(Input(AutoIn, true));
    WritePhase(5, "30");
    ASSERT_NO_FATAL_FAILURE(StartCell());
    ASSERT_TRUE(ReachesState(StateMachineDIZ::StateIdle));
    ASSERT_TRUE(WaitFor([&]() { return rm->stateMachine.GetSubStep() == 3 && rm->ipoMain.IsReplayRunning(); }));
    rm->StopProgram(IPO::USER);
    ASSERT_TRUE(WaitFor([&]() { return !rm->fsmActive.load(); })) << "a stop of the main program stops the cell";
    EXPECT_EQ(rm->stateMachine.GetSubStep(), 0);
    rm->SetManualDOut(PhaseOut[0], false);
    ASSERT_TRUE(WaitFor([&]() { return !Out(PhaseOut[0]); }));
    const int homeLoads = log.Count("IPO: Program: EM67_01_moveToHomePos.xml (0 of 1) with 2 points");
    ASSERT_NO_FATAL_FAILURE(StartCell());
    ASSERT_TRUE(WaitFor([&]() { return Out(PhaseOut[0]); })) << "the home program runs first";
    EXPECT_EQ(log.Count("IPO: Program: EM67_01_moveToHomePos.xml (0 of 1) with 2 points"), homeLoads + 1);
    ASSERT_TRUE(ReachesState(StateMachineDIZ::StateIdle));
    rm->StopProgram(IPO::USER);
}

TEST_F(CellBus, FailureOutputForcesTheFaultStateWhichManualModeLeavesAsItIs) {
    ASSERT_NO_FATAL_FAILURE(StartMachine());
    ASSERT_NO_FATAL_FAILURE(StartCell());
    ASSERT_TRUE(ReachesState(StateMachineDIZ::StateInMould));
    rm->SetManualDOut(FailureOut, true);
    ASSERT_TRUE(ReachesState(StateMachineDIZ::StateFault));
    EXPECT_TRUE(WaitFor([&]() { return !Out(Release1) && !Out(Release2); }));
    // Switched on by hand, the releases go off again within the fault state's 100 ms.
    rm->SetManualDOut(Release1, true);
    ASSERT_TRUE(WaitFor([&]() { return !Out(Release1); }));
    RobotMaster::wait(300);
    EXPECT_EQ(CellState(), StateMachineDIZ::StateFault) << "no way out but a new start";
    EXPECT_EQ(log.Count("DIZ-FSM: Received robot failure state, proceed to fail mode!"), 1);
    rm->SetManualDOut(FailureOut, false);
    RobotMaster::wait(300);
    EXPECT_EQ(CellState(), StateMachineDIZ::StateFault);

    // Manual operation sets the manual output and leaves the cell as it is.
    rm->stateMachine.SetManualMode();
    EXPECT_TRUE(WaitFor([&]() { return HasMessage("EM67 Manual Mode activated"); }));
    EXPECT_TRUE(WaitFor([&]() { return Out(32); }));
    EXPECT_EQ(CellState(), StateMachineDIZ::StateFault);
    EXPECT_TRUE(rm->fsmActive.load());
    rm->StopProgram(IPO::USER);
    EXPECT_TRUE(WaitFor([&]() { return !Out(32); })) << "a stop switches the manual output off";
}

TEST_F(CellBus, APausedPhaseProgramHoldsTheCellUntilItEnds) {
    // The home program runs long enough to be paused; its end says the robot is clear of the mould.
    WritePhase(0, "1");
    ASSERT_NO_FATAL_FAILURE(StartMachine());
    ASSERT_NO_FATAL_FAILURE(StartCell());
    ASSERT_TRUE(WaitFor([&]() { return rm->stateMachine.GetSubStep() == 3 && rm->ipoMain.IsReplayRunning(); }));
    rm->PauseProgram(IPO::USER);
    RobotMaster::wait(1500);
    EXPECT_EQ(CellState(), StateMachineDIZ::StateStart) << "a paused program has not ended";
    EXPECT_FALSE(Out(Release1));
    EXPECT_FALSE(Out(Release2));
    EXPECT_FALSE(bus.SawOutput(Release1, true)) << "the machine was told the robot is clear";
    EXPECT_EQ(rm->ipoMain.GetRunState(), IPO::RunStatePaused);
    // Continued, it ends and the cell goes on.
    rm->StartProgram();
    ASSERT_TRUE(ReachesState(StateMachineDIZ::StateIdle));
    EXPECT_TRUE(WaitFor([&]() { return Out(Release1) && Out(Release2); }));
    rm->StopProgram(IPO::USER);
}

TEST_F(CellBus, APhaseProgramPausedByAnErrorNeverSignalsItsPhase) {
    // Pause on error: the home program fails at its first command.
    TestSupport::WriteFile(sample.File(std::string("Data/Programs/") + StateMachineDIZ::ProgramFiles[0]),
                           "<Program><MathOperator Nr=\"1\" Function=\"add\" FirstOperand=\"nosuch\" "
                           "SecondOperand=\"1\"/><Output Nr=\"2\" Channel=\"DOut21\" State=\"true\"/></Program>");
    ASSERT_NO_FATAL_FAILURE(StartMachine());
    rm->ipoMain.stopOnError = 0;
    ASSERT_NO_FATAL_FAILURE(StartCell());
    ASSERT_TRUE(WaitFor([&]() { return rm->ipoMain.GetRunState() == IPO::RunStatePaused; })) << "paused by the error";
    RobotMaster::wait(1000);
    EXPECT_EQ(CellState(), StateMachineDIZ::StateStart);
    EXPECT_FALSE(Out(Release1));
    EXPECT_FALSE(bus.SawOutput(Release1, true));
    EXPECT_FALSE(Out(PhaseOut[0]));
    rm->StopProgram(IPO::USER);
}

TEST_F(CellBus, MissingPhaseProgramEndsInTheFaultStateWithoutItsOutputs) {
    std::remove(sample.File(std::string("Data/Programs/") + StateMachineDIZ::ProgramFiles[5]).c_str());
    ASSERT_NO_FATAL_FAILURE(StartMachine());
    ASSERT_NO_FATAL_FAILURE(StartCell());
    ASSERT_TRUE(ReachesState(StateMachineDIZ::StateFault));
    EXPECT_TRUE(log.HasError("DIZ-FSM: Could not load program EM67_06_placePartOnConv.xml, proceed to fail mode!"));
    ASSERT_TRUE(WaitFor([&]() { return StatesLogged().size() >= 3; }));
    EXPECT_EQ(StatesLogged(), (std::vector<int>{0, 1, 6}));
    EXPECT_TRUE(WaitFor([&]() { return !Out(Release1) && !Out(Release2); }));
    RobotMaster::wait(300);
    EXPECT_EQ(CellState(), StateMachineDIZ::StateFault);
    rm->StopProgram(IPO::USER);
}

TEST_F(CellBus, PhaseProgramThatCannotStartEndsInTheFaultStateWithoutItsOutputs) {
    constexpr int BrakeOut = 36;
    sample.EditRobot([](tinyxml2::XMLElement* robot) {
        tinyxml2::XMLElement* brake = robot->FirstChildElement("Brake");
        brake->SetAttribute("Active", "True");
        brake->SetAttribute("DOutChannel", BrakeOut);
        brake->SetAttribute("DelayMS", 0);
    });
    ASSERT_NO_FATAL_FAILURE(StartMachine());
    ASSERT_TRUE(WaitFor([&]() { return Out(BrakeOut); })) << "brake released";
    ASSERT_NO_FATAL_FAILURE(StartCell());
    ASSERT_TRUE(ReachesState(StateMachineDIZ::StateInMould));
    // Between two phases the brake falls in: the next phase's start is refused.
    rm->SetManualDOut(BrakeOut, false);
    ASSERT_TRUE(WaitFor([&]() { return !Out(BrakeOut); }));
    ASSERT_NO_FATAL_FAILURE(Input(In34, true));
    ASSERT_TRUE(ReachesState(StateMachineDIZ::StateFault));
    EXPECT_TRUE(log.Has("Can not start program while brake is enabled"));
    EXPECT_TRUE(log.HasError("DIZ-FSM: Program EM67_02_moveIntoMould.xml did not start, proceed to fail mode!"));
    RobotMaster::wait(300);
    EXPECT_FALSE(Out(EjectorFront)) << "the robot never went into the mould";
    EXPECT_FALSE(Out(Release1));
    rm->StopProgram(IPO::USER);
}

}  // namespace
