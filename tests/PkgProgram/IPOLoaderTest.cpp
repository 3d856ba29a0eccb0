#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "PkgProgram/IPOTestSupport.h"
#include "common/LogSingleton.h"
#include "common/SoftwareVersion.h"
#include "support/LogCapture.h"

namespace {

using IPOTest::Events;
using IPOTest::Interpreter;
using IPOTest::WriteProgram;

const char* const Cmt = "<Comment Nr=\"1\" Descr=\"c\"/>\n";

class ProgramLoader : public ::testing::Test {
protected:
    TestSupport::ScratchRoot root;
    Interpreter in;
    TestSupport::LogCapture log;
};

TEST_F(ProgramLoader, LinksIfElseBranchesBackToTheIf) {
    WriteProgram(root, "ifelse.xml",
                 "<If Nr=\"1\" Condition=\"din1\"/>\n" + std::string(Cmt) + Cmt + "<Else/>\n" + Cmt +
                     "<EndIf/>\n" + Cmt);
    ASSERT_TRUE(in.Load("ifelse.xml"));
    // If.succ[1] = first true command, the second true command returns to the If,
    // If.succ[2] = the else command, which returns to it, If.succ[0] = the last command.
    EXPECT_EQ(in.Graph(), (std::vector<std::string>{"CommandIf 4 1 3", "CommandComment 2 -2 -2",
                                                    "CommandComment 0 -2 -2", "CommandComment 0 -2 -2",
                                                    "CommandComment -2 -2 -2"}));
    EXPECT_EQ(log.Count("          Else"), 0) << "a quiet load lists nothing";
}

TEST_F(ProgramLoader, LinksLoopsAndNestedStructures) {
    const struct {
        const char* name;
        std::string body;
        std::vector<std::string> graph;
    } cases[] = {
        {"empty loop body returns to the loop",
         std::string("<Loop Nr=\"1\" Mode=\"Count\" Times=\"2\"/>\n<EndLoop/>\n") + Cmt,
         {"CommandLoop 1 0 -2", "CommandComment -2 -2 -2"}},
        {"loop body after a first command",
         std::string(Cmt) + "<Loop Nr=\"1\" Mode=\"Count\" Times=\"2\"/>\n" + Cmt + Cmt + "<EndLoop/>\n" + Cmt,
         {"CommandComment 1 -2 -2", "CommandLoop 4 2 -2", "CommandComment 3 -2 -2", "CommandComment 1 -2 -2",
          "CommandComment -2 -2 -2"}},
        {"if without else inside a loop, nothing after either",
         std::string("<Loop Nr=\"1\" Mode=\"Count\" Times=\"2\"/>\n<If Nr=\"2\" Condition=\"din1\"/>\n") + Cmt +
             "<EndIf/>\n<EndLoop/>\n",
         {"CommandLoop -2 1 -2", "CommandIf 0 2 1", "CommandComment 1 -2 -2"}},
        {"empty true branch with an else",
         std::string("<If Nr=\"1\" Condition=\"din1\"/>\n<Else/>\n") + Cmt + "<EndIf/>\n" + Cmt,
         {"CommandIf 2 0 1", "CommandComment 0 -2 -2", "CommandComment -2 -2 -2"}},
        {"loop nested in a loop at the end of its body",
         std::string("<Loop Nr=\"1\" Mode=\"Count\" Times=\"2\"/>\n") + Cmt +
             "<Loop Nr=\"2\" Mode=\"Count\" Times=\"2\"/>\n" + Cmt + "<EndLoop/>\n<EndLoop/>\n",
         {"CommandLoop -2 1 -2", "CommandComment 2 -2 -2", "CommandLoop 0 3 -2", "CommandComment 2 -2 -2"}},
    };
    for (const auto& c : cases) {
        WriteProgram(root, "graph.xml", c.body);
        in.ipo.DeleteAll();
        ASSERT_TRUE(in.Load("graph.xml")) << c.name;
        EXPECT_EQ(in.Graph(), c.graph) << c.name;
    }
}

TEST_F(ProgramLoader, RefusesBadFilesAndKeepsTheLoadedProgram) {
    WriteProgram(root, "good.xml", Cmt);
    ASSERT_TRUE(in.Load("good.xml"));
    const struct {
        std::string body;
        std::string text;
    } cases[] = {
        {"<Move Nr=\"1\"/>\n", "Unknown command 'Move' in program"},
        // A known command that its reader refuses: its own reason, and where it stands.
        {"<Wait Nr=\"1\" Type=\"Sometimes\"/>\n",
         "Invalid command 'Wait' (Nr. 1, line 3) in program: unknown wait type Type=\"Sometimes\""},
        {std::string(Cmt) + "<Joint Nr=\"2\" velPercent=\"0\" acc=\"50\" smooth=\"0\" AbortCondition=\"\" a1=\"10\"/>\n",
         "Invalid command 'Joint' (Nr. 2, line 4) in program: invalid velocity velPercent=\"0\", it must be above 0"},
        {"<Joint Nr=\"1\" acc=\"50\" AbortCondition=\"\" a1=\"10\"/>\n",
         "Invalid command 'Joint' (Nr. 1, line 3) in program: invalid velocity Could not find attribute 'velPercent', "
         "it must be above 0"},
        {"<Linear Nr=\"1\" vel=\"-5\" AbortCondition=\"\" x=\"300\"/>\n",
         "Invalid command 'Linear' (Nr. 1, line 3) in program: invalid velocity vel=\"-5\", it must be above 0"},
        {"<Linear Nr=\"1\" vel=\"50\" x=\"300\"/>\n",
         "Invalid command 'Linear' (Nr. 1, line 3) in program: Could not find attribute 'AbortCondition'"},
        {"<Output Nr=\"1\" Channel=\"DOut999\" State=\"True\"/>\n",
         "Invalid command 'Output' (Nr. 1, line 3) in program: Channel=\"DOut999\": channel 999 out of range in DIO "
         "command (1..64)"},
        {"<Loop Nr=\"1\" Mode=\"Count\" Times=\"-1\"/>\n" + std::string(Cmt) + "<EndLoop/>\n",
         "Invalid command 'Loop' (Nr. 1, line 3) in program: Times=\"-1\" is below 0"},
        {"<If Nr=\"x\"/>\n<EndIf/>\n",
         "Invalid command 'If' (line 3) in program: Could not find attribute 'Condition'"},
        {"<EndLoop/>\n", "EndLoop without Loop!"},
        {"<Else/>\n", "Else without If!"},
        {"<EndIf/>\n", "EndIf without If!"},
        {"<MatrixEnd/>\n", "MatrixEnd without Matrix!"},
        {"<Loop Nr=\"1\" Mode=\"Count\" Times=\"2\"/>\n" + std::string(Cmt), "Nr of Loop and EndLoop do not fit!"},
        {"<If Nr=\"1\" Condition=\"din1\"/>\n" + std::string(Cmt), "Nr of If and EndIf do not fit!"},
        {"<If Nr=\"1\" Condition=\"din1\"/>\n<Else/>\n<Else/>\n<EndIf/>\n", "Second Else in one If!"},
        {"<Loop Nr=\"1\" Mode=\"Count\" Times=\"2\"/>\n<If Nr=\"2\" Condition=\"din1\"/>\n<EndLoop/>\n<EndIf/>\n",
         "EndLoop does not close the open If!"},
        {"<If Nr=\"1\" Condition=\"din1\"/>\n<Loop Nr=\"2\" Mode=\"Count\" Times=\"2\"/>\n<EndIf/>\n<EndLoop/>\n",
         "EndIf does not close the open Loop!"},
        {"", "No entries in program"},
        {"<Sub Nr=\"1\" File=\"bad.xml\"/>\n", "Sub program loop"},
        // Integers beyond the int range are refused, never wrapped (to 0, 3 or joint 1).
        {"<Loop Nr=\"1\" Mode=\"Count\" Times=\"4294967296\"/>\n" + std::string(Cmt) + "<EndLoop/>\n",
         "Invalid command 'Loop' (Nr. 1, line 3) in program: Could not parse attribute 'Times': 4294967296 is out of "
         "range"},
        {"<Loop Nr=\"1\" Mode=\"Count\" Times=\"4294967299\"/>\n" + std::string(Cmt) + "<EndLoop/>\n",
         "Invalid command 'Loop' (Nr. 1, line 3) in program: Could not parse attribute 'Times': 4294967299 is out of "
         "range"},
        {"<SetVel Nr=\"1\" Joint=\"4294967297\" Vel=\"20\" Acc=\"30\"/>\n",
         "Invalid command 'SetVel' (Nr. 1, line 3) in program: Could not parse attribute 'Joint': 4294967297 is out of "
         "range"},
        {"<Matrix Nr=\"1\" CntX=\"4294967297\" CntY=\"2\" VarPointA=\"a\" VarPointB=\"b\" VarPointC=\"c\" "
         "VarTargetPos=\"t\" VarCntX=\"x\" VarCntY=\"y\"/>\n<MatrixEnd/>\n",
         "Invalid command 'Matrix' (Nr. 1, line 3) in program: Could not parse attribute 'CntX': 4294967297 is out of "
         "range"},
        {"<Loop Nr=\"1\" Mode=\"Count\" Times=\"2 3\"/>\n" + std::string(Cmt) + "<EndLoop/>\n",
         "Invalid command 'Loop' (Nr. 1, line 3) in program: Could not parse attribute 'Times'"},
    };
    for (const auto& c : cases) {
        WriteProgram(root, "bad.xml", c.body);
        log.Clear();
        Events::Take();
        EXPECT_NE(in.ipo.LoadProgramSynchronous("bad.xml", true), 0) << c.text;
        EXPECT_TRUE(log.HasError("Could not parse program bad.xml: " + c.text)) << c.text;
        const std::vector<IPOTest::Event> events = Events::Take();
        ASSERT_EQ(events.size(), 1u) << c.text;
        EXPECT_EQ(events[0].type, HXPEventError);
        EXPECT_EQ(events[0].text, c.text);
        // The program loaded before stays as it was.
        EXPECT_EQ(in.ipo.GetProgramFile(), "good.xml") << c.text;
        EXPECT_EQ(in.Graph(), std::vector<std::string>{"CommandComment -2 -2 -2"}) << c.text;
    }
}

TEST_F(ProgramLoader, RefusesNamesBeforeReading) {
    WriteProgram(root, "a b.xml", Cmt);
    EXPECT_EQ(in.ipo.LoadProgram("a b.xml", true), 2);
    EXPECT_TRUE(log.Has("IPO: Cannot load program, whitespace in filename not allowed!"));
    EXPECT_NE(in.ipo.LoadProgramSynchronous("a.x", true), 0);
    EXPECT_TRUE(log.HasError("Could not parse program a.x: Empty filename!"));
    EXPECT_NE(in.ipo.LoadProgramSynchronous("missing.xml", true), 0);
    EXPECT_TRUE(log.HasError("Could not parse program missing.xml: Program missing.xml not found!"));
    TestSupport::WriteFile(root.File("Data/Programs/empty.xml"), "");
    EXPECT_NE(in.ipo.LoadProgramSynchronous("empty.xml", true), 0);
    EXPECT_TRUE(log.HasError("Could not parse program empty.xml: Program file empty.xml empty!!"));
    // Names from outside never leave the program directory.
    TestSupport::WriteFile(root.File("Data/outside.xml"), "<Program><Comment Nr=\"1\" Descr=\"x\"/></Program>");
    for (const char* name : {"../outside.xml", "/etc/passwd", "sub/../../outside.xml"}) {
        EXPECT_NE(in.ipo.LoadProgramSynchronous(name, true), 0) << name;
    }
    EXPECT_FALSE(in.ipo.IsProgramLoaded());
}

TEST_F(ProgramLoader, LoadsSubProgramsOnceAndRecordsAncestry) {
    WriteProgram(root, "sub/a.xml", Cmt);
    WriteProgram(root, "main.xml",
                 "<Sub Nr=\"1\" File=\"sub\\a.xml\"/>\n<Sub Nr=\"2\" File=\"sub/a.xml\"/>\n" + std::string(Cmt));
    ASSERT_TRUE(in.Load("main.xml"));
    auto lock = in.ipo.LockPrograms();
    ASSERT_EQ(in.ipo.programs.size(), 2u);
    EXPECT_EQ(in.ipo.programs[1].name, "sub/a.xml");
    EXPECT_EQ(in.ipo.programs[0].commands[0]->className, "CommandSub");
    EXPECT_TRUE(in.ipo.programs[1].IsAncestor("main.xml", in.ipo.programs));
}

TEST_F(ProgramLoader, RefusesSubProgramsThatCallTheirCallerOrFail) {
    WriteProgram(root, "ping.xml", "<Sub Nr=\"1\" File=\"pong.xml\"/>\n");
    WriteProgram(root, "pong.xml", "<Sub Nr=\"1\" File=\"ping.xml\"/>\n");
    EXPECT_NE(in.ipo.LoadProgramSynchronous("ping.xml", true), 0);
    EXPECT_TRUE(log.HasError("Could not parse program pong.xml: Sub program loop"));
    EXPECT_TRUE(log.HasError("Could not parse program ping.xml: Loading sub program failed"));

    WriteProgram(root, "caller.xml", "<Sub Nr=\"1\" File=\"nothere.xml\"/>\n");
    EXPECT_NE(in.ipo.LoadProgramSynchronous("caller.xml", true), 0);
    EXPECT_TRUE(log.HasError("Could not parse program caller.xml: Loading sub program failed"));
    EXPECT_FALSE(in.ipo.IsProgramLoaded());
}

TEST_F(ProgramLoader, ChecksTheHeaderAgainstTheRobot) {
    LogSingleton* l = LogSingleton::instance();
    l->set_robotName("Cell 4");
    l->set_robotType("Robots/KorvellaSix");
    l->set_robotGripper("None");
    l->set_softwareVersion("R980-13-039", KorvellaSoftwareVersion);
    in.ipo.SetVelocitySetting(2);
    const std::string body = std::string(Cmt);
    const struct {
        std::string header;
        bool loads;
        std::string text;
    } cases[] = {
        {"<Header/>", true, ""},
        {"<Header RobotType=\"KorvellaSix\" RobotName=\"Cell 4\" GripperType=\"None\"/>", true, ""},
        {"<Header Software=\"R902-13\" RobotType=\"KorvellaSix\" RobotName=\"Cell 4\" GripperType=\"None\" "
         "VelocitySetting=\"2\"/>",
         true, ""},
        {"<Header Software=\"R902-14\" RobotType=\"KorvellaSix\" RobotName=\"Cell 4\" GripperType=\"None\"/>", false,
         "Version check failed: program was created with newer version of Tavix/Norrik (need V13-XXX)"},
        {"<Header Software=\"R902-12\" RobotType=\"KorvellaSix\" RobotName=\"Cell 4\" GripperType=\"None\"/>", false,
         "Version check failed: program was created with older version of Tavix/Norrik (need V13-XXX)"},
        {"<Header RobotType=\"Delta\" RobotName=\"Cell 4\" GripperType=\"None\"/>", false,
         "Consistency check failed: program was created for a different robot type!"},
        {"<Header RobotType=\"KorvellaSix\" RobotName=\"Cell 4\" GripperType=\"None\" VelocitySetting=\"1\"/>", false,
         "Consistency check failed: program was created for a different velocity/voltage setting!"},
        // 2^32 + 2 would wrap to the robot's setting 2.
        {"<Header RobotType=\"KorvellaSix\" RobotName=\"Cell 4\" GripperType=\"None\" VelocitySetting=\"4294967298\"/>",
         false, "Could not parse attribute 'VelocitySetting': 4294967298 is out of range"},
        {"<Header RobotType=\"KorvellaSix\" RobotName=\"Cell 4\" GripperType=\"Vacuum\"/>", false,
         "Consistency check failed: program was created for a different gripper type!"},
    };
    for (const auto& c : cases) {
        WriteProgram(root, "hdr.xml", c.header + "\n" + body);
        log.Clear();
        in.ipo.DeleteAll();
        EXPECT_EQ(in.ipo.LoadProgramSynchronous("hdr.xml", false) == 0, c.loads) << c.header;
        if (!c.loads) {
            EXPECT_TRUE(log.HasError("Could not parse program hdr.xml: " + c.text)) << c.header;
        }
    }
    // Switched off, a program for another robot loads.
    in.ipo.flagIgnoreConsistencyCheck = true;
    WriteProgram(root, "hdr.xml", "<Header RobotType=\"Delta\"/>\n" + body);
    log.Clear();
    EXPECT_TRUE(in.Load("hdr.xml"));
    EXPECT_TRUE(log.Has(
        "IPO.LoadProgram: Consistency check skipped (flagIgnoreConsistencyCheck in project file is set to true)"));
}

TEST_F(ProgramLoader, AsynchronousLoadRefusesASecondLoadAndAStartUntilDone) {
    std::string many;
    for (int i = 0; i < 3000; ++i) many += Cmt;
    WriteProgram(root, "big.xml", many);
    // The load is held until the checks are done, however fast the machine reads the file.
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    in.ipo.SetLoadHold([released] { released.wait(); });
    ASSERT_EQ(in.ipo.LoadProgram("big.xml", true), 0);
    // Busy from the moment the call returns.
    EXPECT_TRUE(in.ipo.IsLoading());
    in.ipo.Start();
    EXPECT_TRUE(log.Has("IPO: Cannot start while loading!"));
    EXPECT_EQ(in.ipo.LoadProgram("big.xml", true), 2);
    EXPECT_TRUE(log.Has("IPO: Cannot load a new program while loading!"));
    EXPECT_TRUE(in.ipo.IsLoading());
    release.set_value();
    for (int i = 0; i < 5000 && in.ipo.IsLoading(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_FALSE(in.ipo.IsLoading());
    std::string name;
    int count = 0;
    int index = 0;
    in.ipo.GetProgramInformation(&name, &count, &index);
    EXPECT_EQ(name, "big.xml");
    EXPECT_EQ(count, 3000);
    EXPECT_EQ(index, -1);
}

TEST_F(ProgramLoader, RefusesNestingDeeperThanTheWriterTakes) {
    const auto nested = [](int depth) {
        std::string body;
        for (int i = 0; i < depth; ++i)
            body += i % 2 == 0 ? "<Loop Nr=\"1\" Mode=\"Count\" Times=\"1\"/>\n" : "<If Nr=\"1\" Condition=\"din1\"/>\n";
        body += Cmt;
        for (int i = depth - 1; i >= 0; --i) body += i % 2 == 0 ? "<EndLoop/>\n" : "<EndIf/>\n";
        return body;
    };
    // 256 levels load and are written and read back.
    WriteProgram(root, "deep.xml", nested(256));
    ASSERT_TRUE(in.Load("deep.xml"));
    const std::vector<std::string> graph = in.Graph();
    ASSERT_TRUE(in.ipo.WriteXMLFile(0, "deepcopy.xml"));
    in.ipo.DeleteAll();
    ASSERT_TRUE(in.Load("deepcopy.xml"));
    EXPECT_EQ(in.Graph(), graph);

    // Deeper is refused with its reason, and the loaded program stays; 10,000 levels
    // would otherwise load and overflow the stack of the writer.
    for (int depth : {257, 10000}) {
        WriteProgram(root, "deeper.xml", nested(depth));
        log.Clear();
        EXPECT_NE(in.ipo.LoadProgramSynchronous("deeper.xml", true), 0) << depth;
        EXPECT_TRUE(log.HasError("Could not parse program deeper.xml: Loop, Matrix and If nested deeper than 256 levels"))
            << depth;
        EXPECT_EQ(in.ipo.GetProgramFile(), "deepcopy.xml");
    }
    EXPECT_TRUE(in.ipo.WriteXMLFile(0, "deepcopy.xml"));
}

TEST_F(ProgramLoader, WrittenProgramsLoadAgainToTheSameCommands) {
    WriteProgram(root, "sub.xml", Cmt);
    WriteProgram(root, "full.xml",
                 "<Store Nr=\"1\" Type=\"number\" Name=\"n\" Value=\"0\"/>\n"
                 "<Loop Nr=\"2\" Mode=\"Count\" Times=\"3\"/>\n"
                 "<MathOperator Nr=\"3\" Function=\"add\" FirstOperand=\"n\" SecondOperand=\"1\"/>\n"
                 "<If Nr=\"4\" Condition=\"n &gt; 1\"/>\n"
                 "<Output Nr=\"5\" Channel=\"DOut3\" State=\"true\"/>\n"
                 "<Else/>\n"
                 "<Output Nr=\"6\" Channel=\"GSig10\" State=\"false\"/>\n"
                 "<EndIf/>\n"
                 "<EndLoop/>\n"
                 "<Loop Nr=\"7\" Mode=\"DIn\" Condition=\"din2\"/>\n<EndLoop/>\n"
                 "<If Nr=\"8\" Condition=\"din1\"/>\n<EndIf/>\n"
                 "<Wait Nr=\"9\" Type=\"Time\" Seconds=\"0.25\"/>\n"
                 "<Wait Nr=\"10\" Type=\"Conditional\" Condition=\"gsig3\"/>\n"
                 "<Sub Nr=\"11\" File=\"sub.xml\"/>\n"
                 "<Gripper Nr=\"12\" Position=\"40\"/>\n"
                 "<SetVel Nr=\"13\" Joint=\"1\" Vel=\"20\" Acc=\"30\"/>\n"
                 "<Comment Nr=\"14\" Descr=\"a &lt;note&gt; &amp; &quot;more&quot;\"/>\n"
                 "<System Nr=\"15\"/>\n<Pause Nr=\"16\"/>\n<Stop Nr=\"17\"/>\n"
                 "<Store Nr=\"18\" Type=\"position\" Name=\"p1\" Value=\"1 2 3 0 90 0\"/>\n");
    ASSERT_TRUE(in.Load("full.xml"));
    const std::vector<std::string> graph = in.Graph();
    std::vector<std::string> texts;
    {
        auto lock = in.ipo.LockPrograms();
        for (const auto& c : in.ipo.programs[0].commands) texts.push_back(c->ToString());
    }
    ASSERT_TRUE(in.ipo.WriteXMLFile(0, "copy.xml"));
    EXPECT_TRUE(log.Has("IPO: XML program file written with 18 commands"));
    in.ipo.DeleteAll();
    ASSERT_TRUE(in.Load("copy.xml")) << TestSupport::ReadFile(root.File("Data/Programs/copy.xml"));
    EXPECT_EQ(in.Graph(), graph);
    std::vector<std::string> again;
    {
        auto lock = in.ipo.LockPrograms();
        for (const auto& c : in.ipo.programs[0].commands) again.push_back(c->ToString());
    }
    EXPECT_EQ(again, texts);

    // The writer never leaves the program directory and needs a program.
    EXPECT_FALSE(in.ipo.WriteXMLFile(0, "../escape.xml"));
    EXPECT_FALSE(TestSupport::ReadFile(root.File("Data/escape.xml")).size() > 0);
    in.ipo.DeleteAll();
    log.Clear();
    EXPECT_FALSE(in.ipo.WriteXMLFile(0, "none.xml"));
    EXPECT_TRUE(log.Has("IPO:    Cannot write, no Program loaded"));
}

}  // namespace
