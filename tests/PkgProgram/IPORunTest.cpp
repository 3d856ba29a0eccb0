#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <utility>
#include <vector>

#include "PkgProgram/IPOTestSupport.h"
#include "support/LogCapture.h"

namespace {

using IPOTest::Event;
using IPOTest::Events;
using IPOTest::Interpreter;
using IPOTest::WriteProgram;

const char* const Cmt = "<Comment Nr=\"1\" Descr=\"c\"/>\n";

std::string Repeat(const std::string& text, int n) {
    std::string r;
    for (int i = 0; i < n; ++i) r += text;
    return r;
}

class ProgramRun : public ::testing::Test {
protected:
    void SetUp() override { in.ipo.replayMode = IPO::ReplaySingle; }

    TestSupport::ScratchRoot root;
    Interpreter in;
    TestSupport::LogCapture log;
};

TEST_F(ProgramRun, LoopsBranchesAndArithmeticGiveTheirResults) {
    WriteProgram(root, "calc.xml",
                 "<Store Nr=\"1\" Type=\"number\" Name=\"n\" Value=\"0\"/>\n"
                 "<Store Nr=\"2\" Type=\"number\" Name=\"odd\" Value=\"0\"/>\n"
                 "<Loop Nr=\"3\" Mode=\"Count\" Times=\"5\"/>\n"
                 "<MathOperator Nr=\"4\" Function=\"add\" FirstOperand=\"n\" SecondOperand=\"1\"/>\n"
                 "<If Nr=\"5\" Condition=\"n = 1\"/>\n"
                 "<MathOperator Nr=\"6\" Function=\"add\" FirstOperand=\"odd\" SecondOperand=\"1\"/>\n"
                 "<Else/>\n"
                 "<If Nr=\"7\" Condition=\"n &gt;= 4\"/>\n"
                 "<MathOperator Nr=\"8\" Function=\"add\" FirstOperand=\"odd\" SecondOperand=\"10\"/>\n"
                 "<EndIf/>\n"
                 "<EndIf/>\n"
                 "<EndLoop/>\n"
                 "<MathOperator Nr=\"9\" Function=\"multiply\" FirstOperand=\"n\" SecondOperand=\"3\"/>\n"
                 "<Output Nr=\"10\" Channel=\"DOut5\" State=\"true\"/>\n"
                 "<Output Nr=\"11\" Channel=\"GSig7\" State=\"true\"/>\n");
    ASSERT_TRUE(in.Load("calc.xml"));
    in.ipo.Start();
    ASSERT_GT(in.RunToEnd(), 0);
    EXPECT_DOUBLE_EQ(in.Number("n"), 15.0);
    EXPECT_DOUBLE_EQ(in.Number("odd"), 21.0);
    EXPECT_TRUE(in.state.digitalOutputs[4]);
    EXPECT_TRUE(in.state.globalSignals[6]);
    EXPECT_EQ(in.ipo.GetRunState(), IPO::RunStateIdle);
    EXPECT_TRUE(log.Has("IPO: Program done"));
    const std::vector<Event> events = Events::Take();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.front(), (Event{HXPEventStart, 0, 0, ""}));
    EXPECT_EQ(events.back(), (Event{HXPEventStop, -1, 0, "PLAN"}));
}

TEST_F(ProgramRun, RunsAtMostTenCombinableCommandsPerCycle) {
    WriteProgram(root, "fifteen.xml", Repeat("<MathOperator Nr=\"1\" Function=\"add\" FirstOperand=\"n\" SecondOperand=\"1\"/>\n", 15));
    in.memory.SetVariableSingle("n", 0, true);
    ASSERT_TRUE(in.Load("fifteen.xml"));
    in.ipo.Start();
    in.Step();
    EXPECT_DOUBLE_EQ(in.Number("n"), 10.0);
    EXPECT_TRUE(in.ipo.IsReplayRunning());
    in.Step();
    EXPECT_DOUBLE_EQ(in.Number("n"), 15.0);
    EXPECT_FALSE(in.ipo.IsReplayRunning());

    // A command that is not combinable ends the cycle after itself.
    WriteProgram(root, "wait.xml",
                 "<MathOperator Nr=\"1\" Function=\"add\" FirstOperand=\"n\" SecondOperand=\"1\"/>\n"
                 "<Wait Nr=\"2\" Type=\"Time\" Seconds=\"0\"/>\n"
                 "<MathOperator Nr=\"3\" Function=\"add\" FirstOperand=\"n\" SecondOperand=\"1\"/>\n");
    in.ipo.DeleteAll();
    in.memory.SetVariableSingle("n", 0, true);
    ASSERT_TRUE(in.Load("wait.xml"));
    in.ipo.Start();
    in.Step();
    EXPECT_DOUBLE_EQ(in.Number("n"), 1.0);
    in.Step();
    EXPECT_DOUBLE_EQ(in.Number("n"), 2.0);
}

TEST_F(ProgramRun, EveryPauseIsToldToTheOwnerOnceWhileTheProgramStillRuns) {
    // The robot master keeps the external axes' velocities in this call: the run state must still read running.
    std::vector<std::pair<IPO::StopReason, int32_t>> told;
    in.ipo.SetPauseCallback([&](IPO::StopReason reason) { told.emplace_back(reason, in.ipo.GetRunState()); });
    WriteProgram(root, "pause.xml",
                 std::string(Cmt) + "<Pause Nr=\"2\"/>\n<Wait Nr=\"3\" Type=\"Time\" Seconds=\"60\"/>\n");
    ASSERT_TRUE(in.Load("pause.xml"));
    in.ipo.Start();
    in.Step(3);
    ASSERT_EQ(in.ipo.GetRunState(), IPO::RunStatePaused);
    in.ipo.Start();
    in.Step();
    in.ipo.Pause(IPO::PLC);
    // Neither a pause of a paused program, nor a stop, nor a positioning by start-at is a pause to tell.
    in.ipo.Pause(IPO::USER);
    in.ipo.Stop(IPO::USER);
    in.ipo.StartAt("pause.xml", 0);
    ASSERT_EQ(in.ipo.GetRunState(), IPO::RunStatePaused);
    in.ipo.replayMode = IPO::ReplayStep;
    in.ipo.Start();
    in.Step();
    EXPECT_EQ(told, (std::vector<std::pair<IPO::StopReason, int32_t>>{{IPO::PROGRAM, IPO::RunStateRunning},
                                                                       {IPO::PLC, IPO::RunStateRunning},
                                                                       {IPO::REPLAY_STEP, IPO::RunStateRunning}}));
}

TEST_F(ProgramRun, StepModePausesAfterEveryCommand) {
    WriteProgram(root, "steps.xml", Repeat(Cmt, 3));
    ASSERT_TRUE(in.Load("steps.xml"));
    in.ipo.replayMode = IPO::ReplayStep;
    in.ipo.Start();
    Events::Take();
    in.Step();
    EXPECT_EQ(in.ipo.GetRunState(), IPO::RunStatePaused);
    EXPECT_EQ(in.ipo.currentCommand, 1);
    EXPECT_EQ(in.ipo.lastStopReason, IPO::REPLAY_STEP);
    const std::vector<Event> events = Events::Take();
    ASSERT_GE(events.size(), 1u);
    EXPECT_EQ(events[0], (Event{HXPEventPause, 1, 0, ""}));
    in.Step(5);
    EXPECT_EQ(in.ipo.currentCommand, 1) << "paused: nothing steps";
    in.ipo.Start();
    EXPECT_TRUE(log.Has("IPO: Resuming program at point 2 of 3"));
    in.Step();
    EXPECT_EQ(in.ipo.currentCommand, 2);
}

TEST_F(ProgramRun, RepeatedRunsLastAtLeastHalfASecond) {
    WriteProgram(root, "fast.xml", "<MathOperator Nr=\"1\" Function=\"add\" FirstOperand=\"n\" SecondOperand=\"1\"/>\n");
    in.memory.SetVariableSingle("n", 0, true);
    ASSERT_TRUE(in.Load("fast.xml"));
    in.ipo.replayMode = IPO::ReplayRepeat;
    in.ipo.Start();
    in.Step();
    EXPECT_DOUBLE_EQ(in.Number("n"), 1.0);
    EXPECT_TRUE(log.Has("IPO: Program done, restarting"));
    EXPECT_TRUE(in.ipo.IsReplayRunning());
    // The run took next to nothing: about 50 cycles of 10 ms pass before command 0 runs again.
    int waited = 0;
    while (in.Number("n") < 2.0 && waited < 100) {
        in.Step();
        ++waited;
    }
    EXPECT_GE(waited, 48);
    EXPECT_LE(waited, 51);

    // A run that takes longer than half a second restarts at once.
    WriteProgram(root, "slow.xml",
                 "<MathOperator Nr=\"1\" Function=\"add\" FirstOperand=\"n\" SecondOperand=\"1\"/>\n"
                 "<Wait Nr=\"2\" Type=\"Conditional\" Condition=\"gsig1\"/>\n");
    in.ipo.Stop(IPO::USER);
    in.ipo.DeleteAll();
    in.memory.SetVariableSingle("n", 0, true);
    ASSERT_TRUE(in.Load("slow.xml"));
    in.ipo.Start();
    in.Step();
    EXPECT_DOUBLE_EQ(in.Number("n"), 1.0);
    std::this_thread::sleep_for(std::chrono::milliseconds(520));
    in.state.globalSignals[0] = true;
    in.Step();  // the wait ends the run
    in.Step();
    EXPECT_DOUBLE_EQ(in.Number("n"), 2.0);
}

TEST_F(ProgramRun, SubProgramsReturnToTheirCaller) {
    WriteProgram(root, "inc.xml", "<MathOperator Nr=\"1\" Function=\"add\" FirstOperand=\"n\" SecondOperand=\"1\"/>\n");
    WriteProgram(root, "calls.xml",
                 "<Sub Nr=\"1\" File=\"inc.xml\"/>\n"
                 "<MathOperator Nr=\"2\" Function=\"multiply\" FirstOperand=\"n\" SecondOperand=\"10\"/>\n"
                 "<Sub Nr=\"3\" File=\"inc.xml\"/>\n");
    in.memory.SetVariableSingle("n", 0, true);
    ASSERT_TRUE(in.Load("calls.xml"));
    in.ipo.Start();
    ASSERT_GT(in.RunToEnd(), 0);
    // The second call is the last command of the main program: its end ends the run.
    EXPECT_DOUBLE_EQ(in.Number("n"), 11.0);
    EXPECT_TRUE(log.Has("IPO - changing to program 1, from 0, 1"));
    EXPECT_TRUE(log.Has("IPO - changing to program 1, from 0, -2"));
    EXPECT_TRUE(log.Has("IPO: Program done"));
}

TEST_F(ProgramRun, PauseStopAndCommandsThatStopTheRun) {
    // Idle: nothing is sent.
    in.ipo.Pause(IPO::USER);
    in.ipo.Stop(IPO::USER);
    EXPECT_TRUE(Events::Take().empty());

    WriteProgram(root, "stops.xml",
                 std::string(Cmt) + "<Pause Nr=\"2\"/>\n" + Cmt + "<Stop Nr=\"4\"/>\n" + Cmt);
    ASSERT_TRUE(in.Load("stops.xml"));
    in.ipo.Start();
    Events::Take();
    in.Step();
    EXPECT_EQ(in.ipo.GetRunState(), IPO::RunStatePaused);
    EXPECT_EQ(in.ipo.lastStopReason, IPO::PROGRAM);
    std::vector<Event> events = Events::Take();
    EXPECT_EQ(events, (std::vector<Event>{{HXPEventStart, 1, 0, ""}, {HXPEventPause, 1, 0, "PROGRAM"},
                                          {HXPEventStart, 2, 0, ""}}));
    in.ipo.Start();
    in.Step();
    EXPECT_EQ(in.ipo.GetRunState(), IPO::RunStateIdle);
    EXPECT_TRUE(log.Has("IPO:    Stopping Program by PROGRAM"));

    // Texts and event kinds of stops by reason.
    in.ipo.Start();
    Events::Take();
    in.ipo.Stop(IPO::ERROR, "Brake active");
    events = Events::Take();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], (Event{HXPEventError, 0, 0, "Brake active"}));
    EXPECT_TRUE(log.Has("IPO:    Stopping Program by ERROR, reason: Brake active"));
    in.ipo.Start();
    Events::Take();
    in.ipo.Stop(IPO::COMMAND_ERROR);
    events = Events::Take();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], (Event{HXPEventError, 0, 0, "PATHGEN_ERROR"}));
}

TEST_F(ProgramRun, StepErrorsStopWithTheirMessage) {
    WriteProgram(root, "err.xml",
                 std::string(Cmt) + "<MathOperator Nr=\"2\" Function=\"add\" FirstOperand=\"p9\" SecondOperand=\"p8\"/>\n");
    ASSERT_TRUE(in.Load("err.xml"));
    in.ipo.Start();
    Events::Take();
    in.Step();
    EXPECT_FALSE(in.ipo.IsReplayRunning());
    bool reported = false;
    for (const Event& e : Events::Take()) {
        if (e.type != HXPEventError) continue;
        EXPECT_EQ(e.text, "IPO ERROR: Variable p9 is not defined");
        EXPECT_EQ(e.command, 1);
        reported = true;
    }
    EXPECT_TRUE(reported);
    EXPECT_EQ(in.ipo.lastStopReason, IPO::COMMAND_ERROR);

    // With stop on error off the run only pauses.
    in.ipo.stopOnError = 0;
    in.ipo.Start();
    in.Step(2);
    EXPECT_EQ(in.ipo.GetRunState(), IPO::RunStatePaused);
}

TEST_F(ProgramRun, LogicInterpreterCatchesEverythingItsCommandsThrow) {
    Interpreter logic(IPO::IpoTypeLogic);
    WriteProgram(root, "logic.xml",
                 "<MathOperator Nr=\"1\" Function=\"add\" FirstOperand=\"k\" SecondOperand=\"1\"/>\n"
                 "<Wait Nr=\"2\" Type=\"Time\" Seconds=\"0.05\"/>\n");
    logic.memory.SetVariableSingle("k", 0, true);
    ASSERT_TRUE(logic.Load("logic.xml"));
    logic.ipo.replayMode = IPO::ReplayRepeat;
    logic.ipo.Start();
    logic.Step(100);
    EXPECT_GE(logic.Number("k"), 2.0);
    EXPECT_TRUE(logic.ipo.IsReplayRunning());
    EXPECT_FALSE(log.Has("IPO: Program done, restarting")) << "the logic program restarts silently";

    WriteProgram(root, "logicbad.xml", "<MathOperator Nr=\"1\" Function=\"add\" FirstOperand=\"q\" SecondOperand=\"q2\"/>\n");
    logic.ipo.Stop(IPO::USER);
    logic.ipo.DeleteAll();
    ASSERT_TRUE(logic.Load("logicbad.xml"));
    logic.ipo.Start();
    EXPECT_NO_THROW(logic.Step());
    EXPECT_FALSE(logic.ipo.IsReplayRunning());
    EXPECT_TRUE(log.HasStartingWith("IPO Error in 0: "));
}

TEST_F(ProgramRun, StartAtPositionsAPausedProgram) {
    WriteProgram(root, "at.xml", Repeat(Cmt, 4));
    ASSERT_TRUE(in.Load("at.xml"));
    in.ipo.StartAt("at.xml", 2);
    EXPECT_EQ(in.ipo.GetRunState(), IPO::RunStatePaused);
    EXPECT_EQ(in.ipo.currentCommand, 2);
    in.ipo.Start();
    EXPECT_TRUE(log.Has("IPO: Resuming program at point 3 of 4"));
    EXPECT_THROW(in.ipo.StartAt("at.xml", 1), std::runtime_error);
    in.ipo.Stop(IPO::USER);
    in.ipo.StartAt("at.xml", 9);
    EXPECT_TRUE(log.HasError("Could not set start command, command index is not in program"));
    EXPECT_EQ(in.ipo.GetRunState(), IPO::RunStateIdle);

    // Not in the list: loaded first, positioned by a thread of its own.
    WriteProgram(root, "other.xml", Repeat(Cmt, 3));
    in.ipo.DeleteAll();
    in.ipo.StartAt("other.xml", 1);
    for (int i = 0; i < 5000 && in.ipo.currentCommand != 1; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(in.ipo.currentCommand, 1);
    // A load that fails positions nothing, least of all the program still loaded.
    in.ipo.Stop(IPO::USER);
    in.ipo.StartAt("absent.xml", 0);
    for (int i = 0; i < 5000 && !log.HasError("could not set start command, program not loaded"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(log.HasError("could not set start command, program not loaded"));
    EXPECT_EQ(in.ipo.GetRunState(), IPO::RunStateIdle);
}

// A client sees the stop's event while the stop still waits for the robot
// thread's step, and positions the program at once: the stop must not undo it.
TEST_F(ProgramRun, StartAtDuringAStopInProgressStaysPositioned) {
    WriteProgram(root, "at.xml", Repeat(Cmt, 4));
    ASSERT_TRUE(in.Load("at.xml"));
    in.ipo.Start();
    std::thread stopper([&]() { in.ipo.Stop(IPO::USER); });
    for (int i = 0; i < 5000 && in.ipo.IsReplayRunning(); ++i) std::this_thread::sleep_for(std::chrono::microseconds(100));
    in.ipo.StartAt("at.xml", 2);
    stopper.join();
    EXPECT_EQ(in.ipo.GetRunState(), IPO::RunStatePaused);
    EXPECT_EQ(in.ipo.currentCommand, 2);
    in.ipo.Start();
    EXPECT_TRUE(log.Has("IPO: Resuming program at point 3 of 4"));
    in.ipo.Stop(IPO::USER);
    EXPECT_EQ(in.ipo.GetRunState(), IPO::RunStateIdle);
}

TEST_F(ProgramRun, LoadsAndDeletesWhileTheRobotThreadSteps) {
    WriteProgram(root, "a.xml", Repeat("<MathOperator Nr=\"1\" Function=\"add\" FirstOperand=\"n\" SecondOperand=\"1\"/>\n", 40));
    WriteProgram(root, "b.xml", Repeat(Cmt, 25));
    // Static, so the deletes keep it.
    in.memory.SetVariable(Programs::MemoryPosition("n", 0.0, true), Programs::StoreAsGiven);
    in.ipo.replayMode = IPO::ReplayRepeat;
    std::atomic<bool> stop{false};
    std::thread robot([&]() {
        DataTypes::RobotState state;
        while (!stop) {
            in.ipo.GetNextPosition(1, 100.0f, &state);
            std::this_thread::yield();
        }
    });
    for (int i = 0; i < 30; ++i) {
        ASSERT_TRUE(in.Load(i % 2 == 0 ? "a.xml" : "b.xml"));
        in.ipo.Start();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (i % 3 == 0) in.ipo.DeleteAll();
    }
    stop = true;
    robot.join();
    EXPECT_FALSE(log.HasStartingWith("IPO ERROR"));
    EXPECT_FALSE(log.HasStartingWith("IPO-Error"));
}

}  // namespace
