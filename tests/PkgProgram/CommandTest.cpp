#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <tinyxml2.h>

#include "PkgProgram/Command.h"
#include "PkgProgram/MemoryPosition.h"
#include "PkgProgram/ProgramMemory.h"
#include "PkgProgram/XMLAttribNotFoundException.h"
#include "PkgProgram/XMLAttribParseException.h"
#include "support/LogCapture.h"
#include "datatypes/RobotState.h"

namespace {

using Programs::MemoryPosition;

class PlainCommand : public Command {
public:
    PlainCommand() { className = "PlainCommand"; }
    void ReadXML(tinyxml2::XMLElement*, bool) override {}
};

TEST(ProgramCommand, FreshCommandDefaults) {
    PlainCommand cmd;
    EXPECT_EQ(cmd.pre, -42);
    EXPECT_EQ(cmd.succ[0], -2);
    EXPECT_EQ(cmd.succ[1], -2);
    EXPECT_EQ(cmd.succ[2], -2);
    EXPECT_EQ(cmd.motionKind, 2);
    EXPECT_TRUE(cmd.valid);
    EXPECT_TRUE(cmd.firstVisit);
    EXPECT_EQ(cmd.memory, nullptr);
    EXPECT_EQ(cmd.ipo, nullptr);
    EXPECT_EQ(cmd.nrRobotJoints, 6);
    EXPECT_EQ(cmd.nrExternalJoints, 3);
    for (float v : cmd.jointMaxVelocity) EXPECT_FLOAT_EQ(v, 45.0f);
    EXPECT_FLOAT_EQ(cmd.velocity, 30.0f);
    EXPECT_FLOAT_EQ(cmd.cartVelocity, 10.0f);
    EXPECT_FLOAT_EQ(cmd.targetVelocity, 90.0f);
    EXPECT_FLOAT_EQ(cmd.acceleration, 30.0f);
    EXPECT_FLOAT_EQ(cmd.smoothing, 30.0f);

    TestSupport::LogCapture log;
    EXPECT_EQ(cmd.ToString(), "VCmd PlainCommand: -2 -2 -2");
    EXPECT_TRUE(log.Has("VCmd PlainCommand: -2 -2 -2", false));
}

TEST(ProgramCommand, BaseBehaviourOfTheVirtualOperations) {
    PlainCommand cmd;
    DataTypes::RobotState state;
    EXPECT_EQ(cmd.Interpolate(10, 100.0f, &state), -1);
    EXPECT_EQ(cmd.InterpolateLogic(10, 100.0f, &state), -1);

    EXPECT_TRUE(cmd.IsCombinable());
    cmd.combinable = false;
    EXPECT_FALSE(cmd.IsCombinable());
    cmd.combinable = true;
    cmd.motionKind = 1;
    EXPECT_FALSE(cmd.IsCombinable());

    cmd.firstVisit = false;
    cmd.Init();
    EXPECT_TRUE(cmd.firstVisit);

    TestSupport::LogCapture log;
    float a = 0, b = 0, c = 0, d = 0;
    cmd.GetTargetPosition(&state, &state, a, b, c, d);
    EXPECT_TRUE(log.Has("Command::GetTargetPosition called but not implemented!", true));

    cmd.succ[0] = 4;
    cmd.pre = 2;
    PlainCommand copy(cmd);
    EXPECT_EQ(copy.succ[0], 4);
    EXPECT_EQ(copy.pre, 2);
    EXPECT_EQ(copy.className, "PlainCommand");
}

TEST(ProgramCommand, JointHelpers) {
    PlainCommand cmd;
    cmd.nrRobotJoints = 4;
    cmd.nrExternalJoints = 1;
    float joints[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    cmd.EliminateNonexistentJoints(joints);
    const float expected[9] = {1, 2, 3, 4, 0, 0, 7, 0, 0};
    for (int i = 0; i < 9; ++i) EXPECT_FLOAT_EQ(joints[i], expected[i]) << i;

    const double limits[9] = {10.5, 20, 30, 40, 50, 60, 70, 80, 90};
    cmd.InitJointMaxVelocities(limits);
    EXPECT_FLOAT_EQ(cmd.jointMaxVelocity[0], 10.5f);
    EXPECT_FLOAT_EQ(cmd.jointMaxVelocity[8], 90.0f);
}

class ProgramAttributeReaders : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(doc.Parse("<Cmd I=\"12\" Neg=\"-3\" F=\"1.5\" B=\"true\" B0=\"0\" S=\"some text\" Bad=\"abc\" "
                            "Nan=\"nan\" Inf=\"inf\" NegInf=\"-inf\" Huge=\"1e39\" Empty=\"\"/>"),
                  tinyxml2::XML_SUCCESS);
        e = doc.FirstChildElement("Cmd");
    }
    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* e = nullptr;
};

enum class Outcome { Value, NotFound, ParseError };

template <typename F>
Outcome Classify(F read) {
    try {
        read();
        return Outcome::Value;
    } catch (const XMLAttribNotFoundException&) {
        return Outcome::NotFound;
    } catch (const XMLAttribParseException&) {
        return Outcome::ParseError;
    }
}

TEST_F(ProgramAttributeReaders, ReadersReturnValuesOrThrowTheirExceptions) {
    EXPECT_EQ(Command::ReadInt(e, "I"), 12);
    EXPECT_EQ(Command::ReadInt(e, "Neg"), -3);
    EXPECT_FLOAT_EQ(Command::ReadFloat(e, "F"), 1.5f);
    EXPECT_TRUE(Command::ReadBool(e, "B"));
    EXPECT_FALSE(Command::ReadBool(e, "B0"));
    EXPECT_EQ(Command::ReadString(e, "S"), "some text");
    EXPECT_EQ(Command::ReadString(e, "Empty"), "");

    struct Case {
        const char* reader;
        const char* attribute;
        Outcome expected;
    };
    const Case cases[] = {
        {"int", "Missing", Outcome::NotFound},     {"int", "Bad", Outcome::ParseError},
        {"int", "Empty", Outcome::ParseError},     {"float", "Missing", Outcome::NotFound},
        {"float", "Bad", Outcome::ParseError},     {"float", "Nan", Outcome::ParseError},
        {"float", "Inf", Outcome::ParseError},     {"float", "NegInf", Outcome::ParseError},
        {"float", "Huge", Outcome::ParseError},    {"bool", "Missing", Outcome::NotFound},
        {"bool", "Bad", Outcome::ParseError},      {"string", "Missing", Outcome::NotFound},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.reader) + " " + c.attribute);
        const std::string reader = c.reader;
        const Outcome got = Classify([&] {
            if (reader == "int") Command::ReadInt(e, c.attribute);
            else if (reader == "float") Command::ReadFloat(e, c.attribute);
            else if (reader == "bool") Command::ReadBool(e, c.attribute);
            else Command::ReadString(e, c.attribute);
        });
        EXPECT_EQ(got, c.expected);
    }
    // No element at all reads as a missing attribute.
    EXPECT_EQ(Classify([] { Command::ReadInt(nullptr, "I"); }), Outcome::NotFound);
}

TEST_F(ProgramAttributeReaders, ExceptionsCarryTheirTextsAndBases) {
    try {
        Command::ReadInt(e, "Missing");
        FAIL() << "no exception";
    } catch (const XMLException& ex) {
        EXPECT_STREQ(ex.what(), "Could not find attribute 'Missing'");
    }
    try {
        Command::ReadFloat(e, "Nan");
        FAIL() << "no exception";
    } catch (const std::runtime_error& ex) {
        EXPECT_STREQ(ex.what(), "Could not parse attribute 'Nan'");
    }
}

TEST_F(ProgramAttributeReaders, QueriesFallBackToTheDefault) {
    EXPECT_EQ(Command::QueryInt(e, "I", 5), 12);
    EXPECT_EQ(Command::QueryInt(e, "Missing", 5), 5);
    EXPECT_EQ(Command::QueryInt(e, "Bad", 5), 5);
    EXPECT_FLOAT_EQ(Command::QueryFloat(e, "F", 2.0f), 1.5f);
    EXPECT_FLOAT_EQ(Command::QueryFloat(e, "Nan", 2.0f), 2.0f);
    EXPECT_FLOAT_EQ(Command::QueryFloat(e, "Inf", 2.0f), 2.0f);
    EXPECT_FLOAT_EQ(Command::QueryFloat(e, "Bad", 2.0f), 2.0f);
    EXPECT_TRUE(Command::QueryBool(e, "Bad", true));
    EXPECT_FALSE(Command::QueryBool(e, "Missing", false));
    EXPECT_TRUE(Command::QueryBool(e, "B", false));
    EXPECT_EQ(Command::QueryString(e, "S", "x"), "some text");
    EXPECT_EQ(Command::QueryString(e, "Missing", "x"), "x");
    EXPECT_EQ(Command::QueryInt(nullptr, "I", 9), 9);
}

class ProgramCommandVariables : public ::testing::Test {
protected:
    void SetUp() override {
        DataTypes::RobotState p;
        p.pose.SetTranslation(11.0f, 22.0f, 33.0f);
        p.A = 5.0f;
        for (int j = 0; j < 9; ++j) p.jointSetPoint[j] = 100.0f + static_cast<float>(j);
        memory.SetVariable(MemoryPosition("p1", p, false), Programs::StoreBoth);
        memory.SetVariable(MemoryPosition("n1", 2.5, true), Programs::StoreAsGiven);
        cmd.memory = &memory;
    }
    Programs::ProgramMemory memory;
    PlainCommand cmd;
};

template <typename F>
std::string ErrorOf(F f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "no exception";
}

TEST_F(ProgramCommandVariables, ReadsAndWritesVariables) {
    MemoryPosition out;
    EXPECT_TRUE(cmd.GetVariableFromProgramMemory("P1", &out));
    EXPECT_EQ(out.name, "p1");
    EXPECT_FLOAT_EQ(cmd.GetVariableNumberValue("n1"), 2.5f);
    EXPECT_FLOAT_EQ(cmd.GetVariablePositionElement("p1", "X"), 11.0f);
    EXPECT_FLOAT_EQ(cmd.GetVariablePositionElement("p1", "a"), 5.0f);
    EXPECT_FLOAT_EQ(cmd.GetVariablePositionElement("p1", "A1"), 100.0f);
    EXPECT_FLOAT_EQ(cmd.GetVariablePositionElement("p1", "e3"), 108.0f);

    cmd.SetVariableNumberValue("n1", 7.0f);
    EXPECT_DOUBLE_EQ(memory.GetVariable("n1").number, 7.0);
    EXPECT_TRUE(memory.GetVariable("n1").isStatic);

    // One element is written; nothing else is recomputed.
    cmd.SetVariablePositionElement("p1", "A2", -5.0f);
    const MemoryPosition p = memory.GetVariable("p1");
    EXPECT_FLOAT_EQ(p.position.jointSetPoint[1], -5.0f);
    EXPECT_FLOAT_EQ(p.position.pose(0, 3), 11.0f);
    cmd.SetVariablePositionElement("p1", "Z", 1.0f);
    EXPECT_FLOAT_EQ(memory.GetVariable("p1").position.pose(2, 3), 1.0f);
    EXPECT_FLOAT_EQ(memory.GetVariable("p1").position.jointSetPoint[1], -5.0f);
}

TEST_F(ProgramCommandVariables, ReportsMissingMemoryVariablesTypesAndElements) {
    TestSupport::LogCapture log;
    EXPECT_EQ(ErrorOf([&] { cmd.GetVariableNumberValue("nope"); }), "Command: Could not find variable \"nope\"!");
    EXPECT_EQ(ErrorOf([&] { cmd.GetVariableNumberValue("p1"); }), "GetFromMemory: wrong var type");
    EXPECT_TRUE(log.Has("Memory: Variable p1 is not a number variable!", true));
    EXPECT_EQ(ErrorOf([&] { cmd.SetVariableNumberValue("p1", 1.0f); }), "GetFromMemory: wrong var type");
    EXPECT_TRUE(log.Has("Memory SetVarNumberValue: Variable p1 is not a number variable!", true));
    EXPECT_EQ(ErrorOf([&] { cmd.GetVariablePositionElement("n1", "x"); }), "GetFromMemory: wrong var type");
    EXPECT_TRUE(log.Has("Memory: Variable n1 is not a position variable!", true));
    EXPECT_EQ(ErrorOf([&] { cmd.GetVariablePositionElement("p1", "w"); }), "GetFromMemory: wrong element access");
    EXPECT_TRUE(log.Has("Memory: wrong element access: w", true));
    EXPECT_EQ(ErrorOf([&] { cmd.SetVariablePositionElement("n1", "x", 1.0f); }), "GetFromMemory: wrong var type");
    EXPECT_TRUE(log.Has("Memory SetElement: Variable n1 is not a position variable!", true));
    EXPECT_EQ(ErrorOf([&] { cmd.SetVariablePositionElement("p1", "a9", 1.0f); }),
              "GetFromMemory: wrong element access");
    EXPECT_TRUE(log.Has("Memory SetElement: wrong element access: a9", true));

    EXPECT_THROW(cmd.GetVariableNumberValue("nope"), std::invalid_argument);
    PlainCommand detached;
    EXPECT_THROW(detached.GetVariableFromProgramMemory("n1", nullptr), std::runtime_error);
    EXPECT_EQ(ErrorOf([&] { detached.GetVariableNumberValue("n1"); }), "Command: memory not initialized");
    EXPECT_TRUE(log.Has("ERROR in CMD: memory not initialized!", true));
}

}  // namespace
