// "VAR" messages over loopback: reading and setting program variables and
// reading the persistent counters, for the active and a passive client.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "PkgProgram/MemoryPosition.h"
#include "server/RemoteTestSupport.h"

namespace {

using Bodies = std::vector<std::string>;

class RemoteVar : public RemoteTest::Remote {
protected:
    void SetUp() override {
        InitRobot(rm);
        rm.programMemory.SetVariableSingle("count", 1.5, true);
        rm.programMemory.SetVariablePosJoint("home", 10, 20, 30, 40, 50, 60, 1, 2, 3, true);
        StartServer(&rm);
    }
    RobotMaster rm;
};

TEST_F(RemoteVar, GettersAnswerWithTheValueOrVariableNotKnown) {
    struct Case {
        const char* body;
        const char* reply;
    };
    const Case cases[] = {
        {"VAR GetNrVariable count", "VARINFO ValueNrVariable count 1.5"},
        // Names compare without case; the reply names the variable in lower case.
        {"VAR GetNrVariable COUNT", "VARINFO ValueNrVariable count 1.5"},
        {"VAR GetNrVariable nothing", "VARERROR ValueNrVariable nothing variable_not_known"},
        // Without a name the end token is the name.
        {"VAR GetNrVariable", "VARERROR ValueNrVariable hxpend variable_not_known"},
        {"VAR GetPosVariable missing", "VARERROR ValuePosVariable missing variable_not_known"},
        // A number variable answers with the robot state it holds.
        {"VAR GetPosVariable count", "VARINFO ValuePosVariable count 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0"},
        {"VAR GetSystemVariable", "VARERROR ValueSystemVariable -1 variable_not_known"},
        {"VAR GetSystemVariable -3", "VARERROR ValueSystemVariable -3 variable_not_known"},
        {"VAR GetSystemVariable 7", "VARINFO ValueSystemVariable 7 Value -1"},
        // Not a whole number: as if the frame had none.
        {"VAR GetSystemVariable 4.5", "VARERROR ValueSystemVariable -1 variable_not_known"},
    };
    for (const Case& c : cases) EXPECT_EQ(Reply(c.body), c.reply) << c.body;

    const std::string pos = Reply("VAR GetPosVariable Home");
    EXPECT_EQ(pos.rfind("VARINFO ValuePosVariable home ", 0), 0u) << pos;
    EXPECT_NE(pos.find(" 10 20 30 40 50 60 1 2 3"), std::string::npos) << pos;

    EXPECT_TRUE(log.Has("HXP-Server: GetSystemVariable 7 value -1"));
    EXPECT_TRUE(log.Has("HXP-Server: GetSystemVariable -1: ERROR, variable not found"));
}

TEST_F(RemoteVar, SystemCountersAreReadFromTheLog) {
    const std::string reply = Reply("VAR GetSystemVariable 4");
    EXPECT_EQ(reply, "VARINFO ValueSystemVariable 4 Value " +
                         std::to_string(LogSingleton::instance()->GetSystemVar(sysVarProgramStarts)));
}

TEST_F(RemoteVar, PersistentNumberIsNeverAnswered) {
    EXPECT_EQ(Replies("VAR GetPersistentNrVariable x"), Bodies{});
    EXPECT_TRUE(log.Has("HXP-Server: GetPersistentNrVariable - not implemented yet!"));
}

TEST_F(RemoteVar, SettersChangeExistingVariablesAndEveryClientSeesTheChange) {
    auto passive = Connect();
    ASSERT_TRUE(passive != nullptr);

    EXPECT_EQ(Replies("VAR SetVariableSingle Count 2.25", 11),
              (Bodies{"VARINFO ValueNrVariable count 2.25", "CMDACK 11"}));
    EXPECT_EQ(rm.programMemory.GetVariable("count").number, 2.25);
    EXPECT_EQ(passive->NextStartingWith("VARINFO").body, "VARINFO ValueNrVariable count 2.25");

    const Bodies joint = Replies("VAR SetVariablePosJoint home 1 2 3 4 5 6 7 8 9", 12);
    ASSERT_EQ(joint.size(), 2u);
    EXPECT_EQ(joint.back(), "CMDACK 12");
    const Programs::MemoryPosition home = rm.programMemory.GetVariable("home");
    EXPECT_FLOAT_EQ(home.position.jointSetPoint[0], 1.0f);
    EXPECT_FLOAT_EQ(home.position.jointSetPoint[8], 9.0f);

    const Bodies cart = Replies("VAR SetVariablePosCart home 100 200 300 0 90 0 5 6 7", 13);
    ASSERT_FALSE(cart.empty());
    EXPECT_EQ(cart.back(), "CMDACK 13");
    const Programs::MemoryPosition moved = rm.programMemory.GetVariable("home");
    EXPECT_FLOAT_EQ(moved.position.pose(0, 3), 100.0f);
    EXPECT_FLOAT_EQ(moved.position.pose(2, 3), 300.0f);
}

TEST_F(RemoteVar, SettersRefuseUnknownNamesAndIncompleteValues) {
    struct Case {
        const char* body;
        const char* reply;
    };
    const Case cases[] = {
        {"VAR SetVariableSingle ghost 1", "CMDERROR 5 variable_not_known"},
        {"VAR SetVariablePosJoint ghost 1 2 3 4 5 6 7 8 9", "CMDERROR 5 variable_not_known"},
        {"VAR SetVariablePosJoint home 1 2 3 4 5 6 7 8", "CMDERROR 5 wrong_nr_of_arguments_in_cmd"},
        {"VAR SetVariablePosCart home 1 2 3 4 5 6", "CMDERROR 5 wrong_nr_of_arguments_in_cmd"},
        {"VAR SetVariableSingle count", "CMDERROR 5 wrong_nr_of_arguments_in_cmd"},
        // Values that are no finite numbers count as missing; nothing changes.
        {"VAR SetVariableSingle count nan", "CMDERROR 5 wrong_nr_of_arguments_in_cmd"},
        {"VAR SetVariableSingle count inf", "CMDERROR 5 wrong_nr_of_arguments_in_cmd"},
        {"VAR SetVariableSingle count 1e999", "CMDERROR 5 wrong_nr_of_arguments_in_cmd"},
        {"VAR SetVariableSingle count 3abc", "CMDERROR 5 wrong_nr_of_arguments_in_cmd"},
        {"VAR SetVariablePosJoint home 1 2 3 4 nan 6 7 8 9", "CMDERROR 5 wrong_nr_of_arguments_in_cmd"},
        // A pose the arm cannot reach leaves the variable as it was: a program would move to the old point.
        {"VAR SetVariablePosCart home 5000 0 500 0 90 0 0 0 0", "CMDERROR 5 variable_not_known"},
    };
    for (const Case& c : cases) EXPECT_EQ(Reply(c.body, 5), c.reply) << c.body;
    EXPECT_FALSE(rm.programMemory.HasVariable("ghost"));
    EXPECT_EQ(rm.programMemory.GetVariable("count").number, 1.5);
    EXPECT_FLOAT_EQ(rm.programMemory.GetVariable("home").position.jointSetPoint[0], 10.0f);
}

TEST_F(RemoteVar, PassiveClientReadsButCannotSet) {
    auto passive = Connect();
    ASSERT_TRUE(passive != nullptr);
    EXPECT_EQ(Replies(*passive, "VAR GetNrVariable count"), Bodies{"VARINFO ValueNrVariable count 1.5"});
    EXPECT_EQ(Replies(*passive, "VAR SetVariableSingle count 9"), Bodies{});
    EXPECT_EQ(rm.programMemory.GetVariable("count").number, 1.5);
}

}  // namespace
