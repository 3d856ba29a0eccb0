// "PROG" messages over loopback: each accepted line appends one command to
// the robot program; refused lines append nothing.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "PkgProgram/CommandDIO.h"
#include "server/RemoteTestSupport.h"

namespace {

using Bodies = std::vector<std::string>;

class RemoteProg : public RemoteTest::Remote {
protected:
    void SetUp() override {
        InitRobot(rm);
        StartServer(&rm);
    }
    // The class names of the main program's commands.
    std::vector<std::string> Program() {
        auto lock = rm.ipoMain.LockPrograms();
        std::vector<std::string> names;
        if (!rm.ipoMain.programs.empty())
            for (const auto& command : rm.ipoMain.programs[0].commands) names.push_back(command->className);
        return names;
    }
    std::shared_ptr<Command> Last() {
        auto lock = rm.ipoMain.LockPrograms();
        return rm.ipoMain.programs.at(0).commands.back();
    }

    RobotMaster rm;
};

TEST_F(RemoteProg, EachKeywordAppendsItsCommandAndIsAcknowledged) {
    struct Case {
        const char* body;
        const char* className;
        const char* trace;
    };
    const Case cases[] = {
        {"PROG 3 JOINT 0 10 20 30 40 50 EXT 0 0 0 VEL 50", "CommandJoint",
         "HXP-Server: JOINT 0.0 10.0 20.0 30.0 40.0 50.0 ext: 0.0 0.0 0.0 vel: 50.0"},
        {"PROG 3 RELATIVEJOINT 1 0 0 0 0 -1 EXT 0 0 0 VEL 20", "CommandRelative",
         "HXP-Server: RELATIVEJOINT 1.0 0.0 0.0 0.0 0.0 -1.0 ext: 0.0 0.0 0.0 vel: 20.0"},
        {"PROG 3 LINEAR 400 50 300 0 90 0 EXT 0 0 0 VELMMS 100", "CommandLinear",
         "HXP-Server: LINEAR 400.0 50.0 300.0 0.0 90.0 0.0 ext: 0.0 0.0 0.0 vel: 100.0"},
        {"PROG 3 RELATIVELINEAR 10 0 -5 30", "CommandRelative", "HXP-Server: RELATIVELINEAR 10.0 0.0 -5.0 vel: 30.0"},
        {"PROG 3 RELATIVETOOL 0 0 5 30", "CommandRelative", "HXP-Server: RELATIVETOOL 0.0 0.0 5.0 vel: 30.0"},
        {"PROG 3 GRIPPER 50 0 0", "CommandGripper", "HXP-Server: GRIPPER 50.0 0.0 0.0"},
        {"PROG 3 WAIT 250", "CommandWait", "HXP-Server: WAIT 250"},
        {"PROG 3 DOUT 7 TRUE", "CommandDIO", "HXP-Server: DOUT 7 to 1"},
    };
    size_t count = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        log.Clear();
        EXPECT_EQ(Replies(c.body, 5), Bodies{"PROGACK 5 3"});
        EXPECT_TRUE(log.Has(c.trace));
        const std::vector<std::string> program = Program();
        ASSERT_EQ(program.size(), ++count);
        EXPECT_EQ(program.back(), c.className);
    }
    EXPECT_EQ(rm.ipoMain.programs[0].name, "new.xml");
    // LINEAR says after its reply that it is not finished.
    log.Clear();
    EXPECT_EQ(Replies("PROG 4 LINEAR 400 50 300 0 90 0 EXT 0 0 0 VELMMS 100", 5), Bodies{"PROGACK 5 4"});
    // Only the server's own lines: the robot thread may log in between.
    std::vector<std::string> lines;
    for (const std::string& line : log.Lines())
        if (line.rfind("HXP-Server:", 0) == 0) lines.push_back(line);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "HXP-Server: Linear - not implemented yet!");
}

TEST_F(RemoteProg, DoutStateWordAndChannel) {
    EXPECT_EQ(Replies("PROG 1 DOUT 7 TRUE", 5), Bodies{"PROGACK 5 1"});
    auto on = std::dynamic_pointer_cast<CommandDIO>(Last());
    ASSERT_TRUE(on != nullptr);
    EXPECT_EQ(on->channel, 7);
    EXPECT_TRUE(on->outputState);

    EXPECT_EQ(Replies("PROG 2 DOUT 7 yes", 5), Bodies{"PROGACK 5 2"});
    auto off = std::dynamic_pointer_cast<CommandDIO>(Last());
    ASSERT_TRUE(off != nullptr);
    EXPECT_FALSE(off->outputState);

    // A state word longer than its buffer is read up to the buffer and is not "true".
    EXPECT_EQ(Replies("PROG 3 DOUT 8 true" + std::string(60, 'e'), 5), Bodies{"PROGACK 5 3"});
    auto longWord = std::dynamic_pointer_cast<CommandDIO>(Last());
    ASSERT_TRUE(longWord != nullptr);
    EXPECT_FALSE(longWord->outputState);
    EXPECT_EQ(Program().size(), 3u);
}

TEST_F(RemoteProg, RefusedLinesAppendNothing) {
    struct Case {
        const char* body;
        const char* reply;
    };
    const Case cases[] = {
        {"PROG 3 JOINT 0 10 20 30 40 50 VEL 50", "PROGERROR 5 3 incomplete_argument"},
        {"PROG 3 WAIT", "PROGERROR 5 3 incomplete_argument"},
        {"PROG 3 WAIT 1.5", "PROGERROR 5 3 incomplete_argument"},
        {"PROG 3 ARC 1 2 3", "PROGERROR 5 3 unknown_command"},
        {"PROG 3 joint 0 10 20 30 40 50 EXT 0 0 0 VEL 50", "PROGERROR 5 3 unknown_command"},
        {"PROG 3", "PROGERROR 5 3 unknown_command"},
        {"PROG x JOINT 0 10 20 30 40 50 EXT 0 0 0 VEL 50", "PROGERROR 5 0 incomplete_argument"},
        {"PROG 3 DOUT 64 true", "PROGERROR 5 3 incomplete_argument"},
        {"PROG 3 DOUT -1 true", "PROGERROR 5 3 incomplete_argument"},
        {"PROG 3 DOUT 7", "PROGERROR 5 3 incomplete_argument"},
        {"PROG 3 GRIPPER 50 nan 0", "PROGERROR 5 3 incomplete_argument"},
        {"PROG 3 RELATIVELINEAR 10 0 inf 30", "PROGERROR 5 3 incomplete_argument"},
        {"PROG 99999999999 WAIT 10", "PROGERROR 5 0 incomplete_argument"},
    };
    for (const Case& c : cases) EXPECT_EQ(Replies(c.body, 5), Bodies{c.reply}) << c.body;
    EXPECT_TRUE(Program().empty());
    EXPECT_TRUE(log.Has("HXP-Server: ERROR, could not define joint command! (invalid number of arguments)"));
    EXPECT_TRUE(log.Has("HXP-Server: ERROR, could not define dout command! (invalid number of arguments)"));
}

TEST_F(RemoteProg, PassiveClientIsNotAnsweredAndAddsNothing) {
    auto passive = Connect();
    ASSERT_TRUE(passive != nullptr);
    testing::internal::CaptureStdout();
    const Bodies replies = Replies(*passive, "PROG 3 WAIT 100", 5);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(replies, Bodies{});
    EXPECT_NE(out.find("Read, but not parsed: PROG PROG: HXPSTART 5 PROG 3 WAIT 100 HXPEND"), std::string::npos);
    EXPECT_TRUE(Program().empty());
}

}  // namespace
