#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "PkgProgram/CommandComment.h"
#include "PkgProgram/CommandIf.h"
#include "PkgProgram/CommandLoop.h"
#include "PkgProgram/CommandPause.h"
#include "PkgProgram/CommandStop.h"
#include "PkgProgram/CommandSub.h"
#include "PkgProgram/CommandSystem.h"
#include "PkgProgram/CommandWait.h"
#include "PkgProgram/IPO.h"
#include "PkgProgram/ProgramMemory.h"
#include "PkgProgram/CommandXml.h"
#include "datatypes/RobotState.h"
#include "support/LogCapture.h"

namespace {

using CommandXml::Read;
using CommandXml::RoundTrip;

// Commands stepped against one memory and one set-point, with branch targets
// that tell the successors apart.
class FlowCommands : public ::testing::Test {
protected:
    template <class C>
    void Attach(C& command) {
        command.memory = &memory;
        command.succ[0] = 10;
        command.succ[1] = 11;
        command.succ[2] = 12;
    }
    int Step(Command& command, int cycleMs = 10) { return command.Interpolate(cycleMs, 100.0f, &state); }

    Programs::ProgramMemory memory;
    DataTypes::RobotState state;
};

TEST(ProgramFlowCommands, ConstructorsSetClassNamesAndCombinability) {
    struct Case {
        std::unique_ptr<Command> command;
        const char* className;
        bool combinable;
    };
    Case cases[] = {
        {std::make_unique<CommandIf>(), "CommandIf", true},
        {std::make_unique<CommandLoop>(), "CommandLoop", true},
        {std::make_unique<CommandSub>(), "CommandSub", true},
        {std::make_unique<CommandPause>(), "CommandPause", false},
        {std::make_unique<CommandStop>(), "CommandStop", false},
        {std::make_unique<CommandWait>(), "CommandWait", false},
        {std::make_unique<CommandComment>(), "CommandComment", true},
        {std::make_unique<CommandSystem>(), "CommandSystem", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.command->className, c.className);
        EXPECT_EQ(c.command->motionKind, 2) << c.className;
        EXPECT_EQ(c.command->IsCombinable(), c.combinable) << c.className;
    }
    CommandWait wait(250);
    EXPECT_EQ(wait.timeMs, 250);
    EXPECT_EQ(wait.elapsedMs, 0);
    EXPECT_EQ(wait.waitMode, CommandWait::WaitTime);
    EXPECT_FALSE(wait.IsCombinable());
}

TEST_F(FlowCommands, IfEntersItsBranchOnceAndLeavesOnTheNextVisit) {
    CommandIf cmd;
    TestSupport::LogCapture log;
    Read(cmd, R"(<If Nr="4" Condition="din3 and counter &gt; 2"/>)");
    ASSERT_TRUE(cmd.valid);
    EXPECT_EQ(cmd.condition, "din3 and counter > 2");
    EXPECT_TRUE(log.HasNote("   Nr. 4: If Condition din3 and counter > 2"));
    Attach(cmd);
    memory.SetVariableSingle("counter", 3.0, true);

    state.digitalInputs[2] = true;
    EXPECT_EQ(Step(cmd), 11);
    // The way out does not look at the condition again.
    cmd.condition = "((";
    EXPECT_EQ(Step(cmd), 10);
    EXPECT_TRUE(cmd.firstVisit);

    cmd.condition = "din3 and counter > 2";
    state.digitalInputs[2] = false;
    EXPECT_EQ(Step(cmd), 12);
    EXPECT_EQ(Step(cmd), 10);

    cmd.condition = "missing > 1";
    EXPECT_THROW(Step(cmd), std::exception);

    cmd.pre = 3;
    EXPECT_EQ(cmd.ToString(), "Command IF - Pre: 3 - Succ: 10 11 12");
}

TEST_F(FlowCommands, IfReadingErrorsAndQuietLoad) {
    CommandIf cmd;
    TestSupport::LogCapture log;
    Read(cmd, R"(<If Nr="1"/>)");
    EXPECT_FALSE(cmd.valid);
    EXPECT_TRUE(log.HasError("Could not read CommandIf, incomplete arguments"));

    log.Clear();
    Read(cmd, R"(<If Nr="1" Condition="true"/>)", true);
    EXPECT_TRUE(cmd.valid);
    EXPECT_FALSE(log.HasStartingWith("   Nr. 1: If"));
}

TEST_F(FlowCommands, LoopReading) {
    struct Case {
        const char* xml;
        bool valid;
        const char* line;  // logged even for a quiet load
        bool isError;
    };
    const Case cases[] = {
        {R"(<Loop Nr="2" Mode="Count" Times="3"/>)", true, "   Nr. 2: Loop counting: 3 iterations", false},
        {R"(<Loop Nr="2" Mode="Count" Times="0"/>)", true, "   Nr. 2: Loop counting: 0 iterations", false},
        {R"(<Loop Nr="2" Mode="Count" Times="-1"/>)", false, "   Nr. 2: ERROR Loop counting: -1 iterations", true},
        {R"(<Loop Nr="2" Mode="Count"/>)", false, "   Nr. 2: ERROR Loop counting: -1 iterations", true},
        {R"(<Loop Nr="2" Mode="Count" Times="lots"/>)", false, "   Nr. 2: ERROR Loop counting: -1 iterations", true},
        {R"(<Loop Nr="2" Mode="DIn" Condition="din2"/>)", true, "   Nr. 2: Loop conditional: din2", false},
        {R"(<Loop Nr="2" Mode="DIn"/>)", false, "Could not read CommandLoop, incomplete arguments", true},
        {R"(<Loop Nr="2" Times="3"/>)", false, "Could not read CommandLoop, incomplete arguments", true},
        {R"(<Loop Nr="2" Mode="count" Times="3"/>)", false, "   Nr. 2: ERROR unknown loop mode: count", true},
    };
    for (const Case& c : cases) {
        CommandLoop cmd;
        TestSupport::LogCapture log;
        Read(cmd, c.xml, true);
        EXPECT_EQ(cmd.valid, c.valid) << c.xml;
        EXPECT_TRUE(log.Has(c.line, c.isError)) << c.xml;
    }
}

TEST_F(FlowCommands, CountingLoopRunsItsBodyExactlyTimesAndStartsAfresh) {
    CommandLoop cmd;
    Read(cmd, R"(<Loop Nr="1" Mode="Count" Times="3"/>)", true);
    Attach(cmd);
    for (int round = 0; round < 2; ++round) {
        std::vector<int> results;
        for (int i = 0; i < 4; ++i) results.push_back(Step(cmd));
        EXPECT_EQ(results, (std::vector<int>{11, 11, 11, 10})) << "round " << round;
        EXPECT_EQ(cmd.counter, 0);
    }
    // A run that starts anew re-arms the loop even when left inside its body.
    EXPECT_EQ(Step(cmd), 11);
    cmd.Init();
    EXPECT_EQ(Step(cmd), 11);
    EXPECT_EQ(cmd.counter, 1);

    CommandLoop none;
    Read(none, R"(<Loop Nr="1" Mode="Count" Times="0"/>)", true);
    Attach(none);
    EXPECT_EQ(Step(none), 10);
    EXPECT_EQ(none.ToString(), "Command Loop counting to 0 - Pre: -42 - Succ: 10 11 12");
}

TEST_F(FlowCommands, ConditionalLoopTestsBeforeEveryPass) {
    CommandLoop cmd;
    Read(cmd, R"(<Loop Nr="1" Mode="DIn" Condition="din2"/>)", true);
    Attach(cmd);
    EXPECT_EQ(Step(cmd), 11);
    EXPECT_EQ(Step(cmd), 11);
    EXPECT_EQ(cmd.counter, 2);
    state.digitalInputs[1] = true;
    EXPECT_EQ(Step(cmd), 10);
    EXPECT_EQ(cmd.counter, 0);
    EXPECT_TRUE(cmd.firstVisit);
    // Set on entry: the body never runs.
    EXPECT_EQ(Step(cmd), 10);
    EXPECT_EQ(cmd.ToString(), "Command Loop condition din2 - Pre: -42 - Succ: 10 11 12");

    // A loop that has run for months keeps counting without overflow.
    state.digitalInputs[1] = false;
    cmd.firstVisit = false;
    cmd.counter = INT_MAX - 1;
    EXPECT_EQ(Step(cmd), 11);
    EXPECT_EQ(Step(cmd), 11);
    EXPECT_EQ(cmd.counter, INT_MAX);
}

TEST_F(FlowCommands, SubReadsItsFileAndCallsTheLoadedProgram) {
    CommandSub cmd;
    TestSupport::LogCapture log;
    Read(cmd, R"(<Sub Nr="5" File="sub\a.xml"/>)");
    ASSERT_TRUE(cmd.valid);
    EXPECT_EQ(cmd.fileName, "sub/a.xml");
    EXPECT_TRUE(log.HasNote("   Nr. 5: Sub file sub/a.xml"));
    EXPECT_EQ(cmd.ToString(), "Command Sub sub/a.xml - Pre: -42 - Succ: -2 -2 -2");

    cmd.subProgramNumber = 1;
    EXPECT_EQ(Step(cmd), -11);
    EXPECT_TRUE(log.HasNote("Subprog nr 1: sub/a.xml"));
    cmd.subProgramNumber = 2;
    EXPECT_EQ(Step(cmd), -12);
    // Not linked by the loader: an error instead of staying on the command for ever.
    cmd.subProgramNumber = 0;
    EXPECT_THROW(Step(cmd), std::runtime_error);

    log.Clear();
    CommandSub missing;
    Read(missing, R"(<Sub Nr="5"/>)");
    EXPECT_FALSE(missing.valid);
    EXPECT_TRUE(log.HasError("Could not read CommandSub, incomplete arguments"));
}

TEST_F(FlowCommands, SubFileMustStayInTheProgramDirectory) {
    const char* refused[] = {"../secret.xml", "sub/../../x.xml", "..\\x.xml", "/etc/passwd", "a/.."};
    for (const char* file : refused) {
        CommandSub cmd;
        TestSupport::LogCapture log;
        tinyxml2::XMLDocument doc;
        tinyxml2::XMLElement* element = doc.NewElement("Sub");
        element->SetAttribute("File", file);
        cmd.ReadXML(element, true);
        EXPECT_FALSE(cmd.valid) << file;
        EXPECT_TRUE(log.HasError("Error: could not read Sub command...")) << file;
    }
    const char* accepted[] = {"a.xml", "sub/a.xml", "..a.xml", "sub/..b/c.xml"};
    for (const char* file : accepted) {
        CommandSub cmd;
        tinyxml2::XMLDocument doc;
        tinyxml2::XMLElement* element = doc.NewElement("Sub");
        element->SetAttribute("File", file);
        cmd.ReadXML(element, true);
        EXPECT_TRUE(cmd.valid) << file;
    }
}

TEST_F(FlowCommands, PauseAndStopActOnTheInterpreter) {
    IPO ipo(IPO::IpoTypeMain);
    ipo.SetMemory(&memory);

    CommandPause pause;
    Attach(pause);
    pause.ipo = &ipo;
    // Not running: nothing to pause.
    EXPECT_EQ(Step(pause), 10);
    EXPECT_EQ(ipo.GetRunState(), IPO::RunStateIdle);

    ipo.currentCommand = 3;
    ipo.SetReplayRunning(true);
    EXPECT_EQ(Step(pause), 10);
    EXPECT_FALSE(ipo.IsReplayRunning());
    EXPECT_EQ(ipo.GetRunState(), IPO::RunStatePaused);
    EXPECT_EQ(ipo.lastStopReason, IPO::PROGRAM);

    CommandStop stop;
    Attach(stop);
    stop.ipo = &ipo;
    EXPECT_EQ(Step(stop), -2);
    EXPECT_EQ(ipo.GetRunState(), IPO::RunStateIdle);
    EXPECT_EQ(ipo.currentCommand, -1);
    // Already idle: ends all the same.
    EXPECT_EQ(Step(stop), -2);

    // Commands not attached to an interpreter still step.
    CommandPause loosePause;
    CommandStop looseStop;
    EXPECT_EQ(Step(loosePause), -2);
    EXPECT_EQ(Step(looseStop), -2);

    TestSupport::LogCapture log;
    Read(pause, R"(<Pause Nr="8"/>)");
    Read(stop, R"(<Stop Nr="9"/>)");
    EXPECT_TRUE(pause.valid && stop.valid);
    EXPECT_TRUE(log.HasNote("   Nr. 8: Pause"));
    EXPECT_TRUE(log.HasNote("   Nr. 9: Stop"));
    EXPECT_EQ(stop.ToString(), "VCmd CommandStop: 10 11 12");
}

TEST_F(FlowCommands, TimeWaitCountsCycles) {
    CommandWait cmd;
    TestSupport::LogCapture log;
    Read(cmd, R"(<Wait Nr="3" Type="Time" Seconds="0.5"/>)");
    ASSERT_TRUE(cmd.valid);
    EXPECT_EQ(cmd.timeMs, 500);
    EXPECT_TRUE(log.HasNote("   Nr. 3: Wait 500 ms"));
    Attach(cmd);
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 50; ++i) ASSERT_EQ(Step(cmd), -1) << "call " << i;
        EXPECT_EQ(Step(cmd), 10);
        EXPECT_EQ(cmd.elapsedMs, 0);
    }

    CommandWait zero(0);
    Attach(zero);
    EXPECT_EQ(Step(zero), 10);
    CommandWait oneCycle(10);
    Attach(oneCycle);
    EXPECT_EQ(Step(oneCycle), -1);
    EXPECT_EQ(Step(oneCycle), 10);

    // A wait that never ends still counts without overflow.
    CommandWait longest(INT_MAX);
    Attach(longest);
    longest.firstVisit = false;
    longest.elapsedMs = INT_MAX - 5;
    EXPECT_EQ(Step(longest), -1);
    EXPECT_EQ(longest.elapsedMs, INT_MAX);
}

TEST_F(FlowCommands, WaitReading) {
    struct Case {
        const char* xml;
        bool valid;
        int timeMs;
        const char* error;
    };
    const Case cases[] = {
        {R"(<Wait Type="Time" Seconds="2"/>)", true, 2000, nullptr},
        {R"(<Wait Type="Time" Seconds="0.25"/>)", true, 250, nullptr},
        {R"(<Wait Type="Time" Seconds="1.234"/>)", true, 1234, nullptr},
        {R"(<Wait Type="Time"/>)", true, 0, nullptr},
        {R"(<Wait Type="Time" Seconds="soon"/>)", true, 0, nullptr},
        {R"(<Wait Type="Time" Seconds="inf"/>)", true, 0, nullptr},
        {R"(<Wait Type="Time" Seconds="-3"/>)", true, 0, nullptr},
        {R"(<Wait Type="Time" Seconds="1e10"/>)", false, 0, "ERROR - IPO: Could not read wait command"},
        {R"(<Wait Type="Time" Seconds="3000000"/>)", false, 0, "ERROR - IPO: Could not read wait command"},
        {R"(<Wait Type="Conditional"/>)", false, 0, "Could not read CommandWait, incomplete arguments"},
        {R"(<Wait Type="time" Seconds="2"/>)", false, 0, "Could not read CommandWait, incomplete arguments"},
        {R"(<Wait Seconds="2"/>)", false, 0, "Could not read CommandWait, incomplete arguments"},
    };
    for (const Case& c : cases) {
        CommandWait cmd;
        TestSupport::LogCapture log;
        Read(cmd, c.xml, true);
        EXPECT_EQ(cmd.valid, c.valid) << c.xml;
        if (c.valid) {
            EXPECT_EQ(cmd.timeMs, c.timeMs) << c.xml;
        }
        if (c.error != nullptr) {
            EXPECT_TRUE(log.HasError(c.error)) << c.xml;
        }
    }
}

TEST_F(FlowCommands, ConditionalWaitEndsWhenTheConditionHolds) {
    CommandWait cmd;
    TestSupport::LogCapture log;
    Read(cmd, R"(<Wait Nr="6" Type="Conditional" Condition="gsig5"/>)");
    ASSERT_TRUE(cmd.valid);
    EXPECT_EQ(cmd.waitMode, CommandWait::WaitConditional);
    EXPECT_TRUE(log.HasNote("   Nr. 6: Wait conditional: gsig5"));
    Attach(cmd);
    EXPECT_EQ(Step(cmd, 4), -1);
    EXPECT_EQ(Step(cmd, 4), -1);
    EXPECT_EQ(cmd.elapsedMs, 8);
    state.globalSignals[4] = true;
    EXPECT_EQ(Step(cmd, 4), 10);
    EXPECT_EQ(cmd.elapsedMs, 0);
    EXPECT_EQ(cmd.ToString(), "VCmd CommandWait: 10 11 12");
}

TEST_F(FlowCommands, CommentAndSystem) {
    CommandComment comment;
    TestSupport::LogCapture log;
    Read(comment, R"(<Comment Nr="2" Descr="pick the part"/>)");
    EXPECT_TRUE(comment.valid);
    EXPECT_TRUE(log.HasNote("   Nr. 2: Comment pick the part"));
    Attach(comment);
    EXPECT_EQ(Step(comment), 10);

    // Without text the comment still loads.
    CommandComment empty;
    Read(empty, R"(<Comment Nr="3"/>)");
    EXPECT_TRUE(empty.valid);
    EXPECT_TRUE(log.HasError("Could not read CommandComment, incomplete arguments"));
    EXPECT_TRUE(log.HasNote("  Nr. 3: Comment"));

    CommandSystem system;
    Read(system, R"(<System Nr="1"/>)");
    EXPECT_TRUE(system.valid);
    Attach(system);
    log.Clear();
    EXPECT_EQ(Step(system), 10);
    EXPECT_TRUE(log.HasNote("System"));
    EXPECT_EQ(system.ToString(), "CommandSystem - Pre: -42 - Succ: 10 11 12");
}

TEST_F(FlowCommands, WrittenFlowCommandsLoadBackEqual) {
    CommandIf ifCmd;
    ifCmd.condition = "(counter < 5 & din1) or p1.x >= 2";
    EXPECT_EQ(CommandXml::Written(ifCmd, 4),
              "<If Nr=\"4\" Condition=\"(counter &lt; 5 &amp; din1) or p1.x &gt;= 2\" Descr=\"\" />\n");
    EXPECT_EQ(RoundTrip(ifCmd)->condition, ifCmd.condition);

    CommandLoop counting;
    counting.times = 12;
    EXPECT_EQ(CommandXml::Written(counting, 2), "<Loop Nr=\"2\" Mode=\"Count\" Times=\"12\" Descr=\"\" />\n");
    auto countingBack = RoundTrip(counting);
    EXPECT_EQ(countingBack->loopMode, CommandLoop::LoopCounting);
    EXPECT_EQ(countingBack->times, 12);

    CommandLoop conditional;
    conditional.loopMode = CommandLoop::LoopConditional;
    conditional.condition = "!din2 and n < 3";
    auto conditionalBack = RoundTrip(conditional);
    EXPECT_EQ(conditionalBack->loopMode, CommandLoop::LoopConditional);
    EXPECT_EQ(conditionalBack->condition, conditional.condition);

    CommandSub sub;
    sub.fileName = "subs/a&b.xml";
    EXPECT_EQ(CommandXml::Written(sub, 1), "<Sub Nr=\"1\" File=\"subs/a&amp;b.xml\" Descr=\"\" />\n");
    EXPECT_EQ(RoundTrip(sub)->fileName, sub.fileName);

    CommandPause pause;
    EXPECT_EQ(CommandXml::Written(pause, 3), "<Pause Nr=\"3\" Descr=\"\" />\n");
    RoundTrip(pause);
    CommandStop stop;
    EXPECT_EQ(CommandXml::Written(stop, 3), "<Stop Nr=\"3\" Descr=\"\" />\n");
    RoundTrip(stop);
    CommandSystem system;
    EXPECT_EQ(CommandXml::Written(system, 3), "<System Nr=\"3\" Descr=\"\" />\n");
    RoundTrip(system);

    CommandComment comment;
    comment.description = "say \"hi\" <now> & then\nnext line\ttab";
    EXPECT_EQ(RoundTrip(comment)->description, comment.description);

    CommandWait conditionalWait;
    conditionalWait.waitMode = CommandWait::WaitConditional;
    conditionalWait.condition = "mb_num_w1 > 0";
    auto waitBack = RoundTrip(conditionalWait);
    EXPECT_EQ(waitBack->waitMode, CommandWait::WaitConditional);
    EXPECT_EQ(waitBack->condition, conditionalWait.condition);
}

TEST_F(FlowCommands, WrittenTimeWaitsLoadBackToTheSameMilliseconds) {
    EXPECT_EQ(CommandXml::Written(*std::make_unique<CommandWait>(2000), 5),
              "<Wait Nr=\"5\" Type=\"Time\" Seconds=\"2\" Descr=\"\" />\n");
    EXPECT_EQ(CommandXml::Written(*std::make_unique<CommandWait>(1500), 5),
              "<Wait Nr=\"5\" Type=\"Time\" Seconds=\"1.500\" Descr=\"\" />\n");
    std::vector<int> times;
    for (int ms = 0; ms <= 5000; ++ms) times.push_back(ms);
    for (int ms : {65535, 86400000, 123456789, 2147483000}) times.push_back(ms);
    // All lines go into one file, as the program writer does it.
    const std::string path = testing::TempDir() + "korvella-waits.xml";
    {
        std::ofstream out(path, std::ios::trunc);
        for (int ms : times) CommandWait(ms).WriteXML(&out, ms);
    }
    std::istringstream lines(TestSupport::ReadFile(path));
    std::remove(path.c_str());
    std::string line;
    for (int ms : times) {
        ASSERT_TRUE(std::getline(lines, line)) << ms;
        CommandWait back;
        Read(back, line, true);
        ASSERT_TRUE(back.valid) << line;
        ASSERT_EQ(back.waitMode, CommandWait::WaitTime) << line;
        ASSERT_EQ(back.timeMs, ms) << line;
    }
}

}  // namespace
