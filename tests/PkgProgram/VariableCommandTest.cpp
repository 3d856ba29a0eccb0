#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>

#include "PkgProgram/CommandMathFunction.h"
#include "PkgProgram/CommandStoreData.h"
#include "PkgProgram/CommandXml.h"
#include "PkgProgram/IPO.h"
#include "PkgProgram/MemoryPosition.h"
#include "PkgProgram/ProgramMemory.h"
#include "common/LogSingleton.h"
#include "datatypes/RobotState.h"
#include "support/LogCapture.h"

namespace {

using CommandXml::Read;
using CommandXml::RoundTrip;
using Programs::MemoryPosition;

DataTypes::RobotState MakePosition(float x, float y, float z, float a, float b, float c, float jointBase) {
    DataTypes::RobotState s;
    s.pose.SetTranslation(x, y, z);
    s.A = a;
    s.B = b;
    s.C = c;
    for (int j = 0; j < 9; ++j) s.jointSetPoint[j] = jointBase + static_cast<float>(j);
    return s;
}

class VariableCommands : public ::testing::Test {
protected:
    void SetUp() override {
        memory.SetVariableSingle("count", 4.0, true);
        memory.SetVariableSingle("ten", 10.0, true);
        memory.SetVariable(MemoryPosition("p1", MakePosition(1, 2, 3, 10, 20, 30, 1), false), Programs::StoreBoth);
        memory.SetVariable(MemoryPosition("p2", MakePosition(10, 20, 30, 1, 2, 3, 100), false), Programs::StoreBoth);
        state = MakePosition(500, 0, 250, 0, 90, 0, 7);
        state.pose(0, 0) = 0.0f;  // a rotation part that Store must keep
        state.pose(0, 1) = -1.0f;
    }

    int Math(const std::string& function, const std::string& first, const std::string& second) {
        CommandMathFunction cmd;
        cmd.memory = &memory;
        cmd.succ[0] = 5;
        cmd.function = function;
        cmd.firstOperand = first;
        cmd.secondOperand = second;
        return cmd.Interpolate(10, 100.0f, &state);
    }
    double Number(const std::string& name) { return memory.GetVariable(name).number; }
    DataTypes::RobotState Position(const std::string& name) { return memory.GetVariable(name).position; }

    Programs::ProgramMemory memory;
    DataTypes::RobotState state;
};

// The fifteen values that position arithmetic works on.
std::vector<float> Values(const DataTypes::RobotState& s) {
    std::vector<float> v{s.pose(0, 3), s.pose(1, 3), s.pose(2, 3), s.A, s.B, s.C};
    for (float j : s.jointSetPoint) v.push_back(j);
    return v;
}

TEST_F(VariableCommands, StoreNumberAndPosition) {
    TestSupport::LogCapture log;
    CommandStoreData number;
    Read(number, R"(<Store Nr="1" Type="number" Name="Count" Value="5"/>)", true);
    ASSERT_TRUE(number.valid);
    EXPECT_EQ(number.varName, "count");
    EXPECT_TRUE(log.HasNote("   Nr. 1: Store number Variable: count Value: 5.000000"));
    number.memory = &memory;
    number.succ[0] = 3;
    EXPECT_EQ(number.Interpolate(10, 100.0f, &state), 3);
    EXPECT_DOUBLE_EQ(Number("count"), 5.0);
    EXPECT_EQ(number.ToString(), "Command Store count - Pre: -42 - Succ: 3 -2 -2");

    CommandStoreData current;
    Read(current, R"(<Store Nr="2" Type="position" Name="Here"/>)", true);
    ASSERT_TRUE(current.valid);
    EXPECT_TRUE(current.useCurrentPosition);
    EXPECT_TRUE(log.HasNote("   Nr. 2: Store position Variable: here Value: current position"));
    current.memory = &memory;
    current.Interpolate(10, 100.0f, &state);
    EXPECT_EQ(Values(Position("here")), Values(state));

    CommandStoreData given;
    Read(given, R"(<Store Nr="3" Type="position" Name="p3" Value="1 2 3 0 90 0"/>)", true);
    ASSERT_TRUE(given.valid);
    EXPECT_FALSE(given.useCurrentPosition);
    EXPECT_TRUE(log.HasNote("   Nr. 3: Store position Variable: p3 Value: X=1.0 Y=2.0 Z=3.0 A=0.0 B=90.0 C=0.0 "
                            "A1=0.0 A2=0.0 A3=0.0 A4=0.0 A5=0.0 A6=0.0 E1=0.0 E2=0.0 E3=0.0"));
    given.memory = &memory;
    given.Interpolate(10, 100.0f, &state);
    const DataTypes::RobotState p3 = Position("p3");
    EXPECT_EQ(Values(p3), (std::vector<float>{1, 2, 3, 0, 90, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_FLOAT_EQ(p3.pose(0, 1), -1.0f);  // rotation stays that of the set-point

    CommandStoreData withJoints;
    Read(withJoints, R"(<Store Type="position" Name="p4" Value="1 2 3 4 5 6" ValueJoints="9 8 7 6 5 4 3 2 1"/>)", true);
    ASSERT_TRUE(withJoints.valid);
    withJoints.memory = &memory;
    withJoints.Interpolate(10, 100.0f, &state);
    EXPECT_EQ(Values(Position("p4")), (std::vector<float>{1, 2, 3, 4, 5, 6, 9, 8, 7, 6, 5, 4, 3, 2, 1}));
}

TEST_F(VariableCommands, StoreReadingErrors) {
    struct Case {
        const char* xml;
        bool valid;
        const char* error;
        bool current;  // position from the set-point
    };
    const Case cases[] = {
        {R"(<Store Type="Number" Name="n" Value="1"/>)", false, "ERROR: could not read StoreData cmd, wrong type!", false},
        {R"(<Store Type="text" Name="n"/>)", false, "ERROR: could not read StoreData cmd, wrong type!", false},
        {R"(<Store Name="n" Value="1"/>)", false, "Could not read CommandStoreData, incomplete arguments", false},
        {R"(<Store Type="number" Value="1"/>)", false, "Could not read CommandStoreData, incomplete arguments", false},
        {R"(<Store Type="number" Name="n"/>)", true, nullptr, false},
        {R"(<Store Type="number" Name="n" Value="many"/>)", false, "Error: could not read StoreData command", false},
        {R"(<Store Type="number" Name="n" Value="nan"/>)", false, "Error: could not read StoreData command", false},
        {R"(<Store Type="number" Name="n" Value="-inf"/>)", false, "Error: could not read StoreData command", false},
        // fewer than six numbers: the current set-point
        {R"(<Store Type="position" Name="p" Value="1 2 3"/>)", true, nullptr, true},
        {R"(<Store Type="position" Name="p" Value="1 2 3 4 5 nan"/>)", false, "Error: could not read StoreData command",
         false},
        {R"(<Store Type="position" Name="p" Value="1 2 3 4 5 1e60"/>)", false,
         "Error: could not read StoreData command", false},
        {R"(<Store Type="position" Name="p" Value="1 2 3 4 5 6" ValueJoints="1 2 3 4 5 6 7 8 inf"/>)", false,
         "Error: could not read StoreData command", false},
        {R"(<Store Type="position" Name="p" Value="1 2 3 4 5 6" ValueJoints="1 2 3"/>)", true, nullptr, false},
    };
    for (const Case& c : cases) {
        CommandStoreData cmd;
        TestSupport::LogCapture log;
        Read(cmd, c.xml, true);
        EXPECT_EQ(cmd.valid, c.valid) << c.xml;
        if (c.error != nullptr) {
            EXPECT_TRUE(log.HasError(c.error)) << c.xml;
        }
        if (c.valid) {
            EXPECT_EQ(cmd.useCurrentPosition, c.current) << c.xml;
        }
    }
}

TEST_F(VariableCommands, StoreByTheLogicProgramIsStaticAndAWrongTypeEndsTheRun) {
    // Variables the logic program stores survive the clearing of the robot program's.
    struct Case {
        IPO::IpoType type;
        const char* xml;
        const char* name;
        bool survives;
    };
    const Case cases[] = {
        {IPO::IpoTypeLogic, R"(<Store Type="number" Name="flag" Value="1"/>)", "flag", true},
        {IPO::IpoTypeMain, R"(<Store Type="number" Name="plain" Value="1"/>)", "plain", false},
    };
    for (const Case& c : cases) {
        IPO ipo(c.type);
        CommandStoreData cmd;
        Read(cmd, c.xml, true);
        cmd.memory = &memory;
        cmd.ipo = &ipo;
        cmd.Interpolate(10, 100.0f, &state);
        memory.Clear();
        EXPECT_EQ(memory.HasVariable(c.name), c.survives) << c.name;
    }

    CommandStoreData plain;
    Read(plain, R"(<Store Type="number" Name="plain" Value="1"/>)", true);
    plain.memory = &memory;
    TestSupport::LogCapture log;
    plain.varType = "matrix";
    EXPECT_EQ(plain.Interpolate(10, 100.0f, &state), -2);
    EXPECT_TRUE(log.HasError("ERROR - StoreData: var type not correct!"));

    plain.varType = "number";
    plain.memory = nullptr;
    EXPECT_THROW(plain.Interpolate(10, 100.0f, &state), std::runtime_error);
}

TEST_F(VariableCommands, MathWithScalars) {
    struct Case {
        const char* function;
        const char* second;
        double expected;
    };
    const Case cases[] = {
        {"add", "1", 5.0},        {"subtract", "1.5", 2.5}, {"set", "ten", 10.0},     {"multiply", "ten", 40.0},
        {"divide", "8", 0.5},     {"modulus", "3", 1.0},    {"add", "p1.z", 7.0},     {"add", "5abc", 9.0},
        {"subtract", "P1.A", -6.0}, {"add", "-2e1", -16.0},
    };
    for (const Case& c : cases) {
        memory.SetVariableSingle("count", 4.0, true);
        ASSERT_EQ(Math(c.function, "count", c.second), 5) << c.function << " " << c.second;
        EXPECT_NEAR(Number("count"), c.expected, 1e-5) << c.function << " " << c.second;
    }

    // A position element as target changes only that element.
    ASSERT_EQ(Math("set", "p1.x", "100"), 5);
    const DataTypes::RobotState p1 = Position("p1");
    EXPECT_EQ(Values(p1), (std::vector<float>{100, 2, 3, 10, 20, 30, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    memory.SetVariableSingle("count", 4.0, true);
    ASSERT_EQ(Math("multiply", "p1.e3", "count"), 5);
    EXPECT_FLOAT_EQ(Position("p1").jointSetPoint[8], 36.0f);
}

TEST_F(VariableCommands, MathWithPositions) {
    ASSERT_EQ(Math("add", "p1", "p2"), 5);
    EXPECT_EQ(Values(Position("p1")),
              (std::vector<float>{11, 22, 33, 11, 22, 33, 101, 103, 105, 107, 109, 111, 113, 115, 117}));
    ASSERT_EQ(Math("subtract", "p1", "p2"), 5);
    EXPECT_EQ(Values(Position("p1")), (std::vector<float>{1, 2, 3, 10, 20, 30, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    ASSERT_EQ(Math("multiply", "p1", "2"), 5);
    EXPECT_EQ(Values(Position("p1")), (std::vector<float>{2, 4, 6, 20, 40, 60, 2, 4, 6, 8, 10, 12, 14, 16, 18}));
    ASSERT_EQ(Math("modulus", "p1", "7"), 5);
    EXPECT_EQ(Values(Position("p1")), (std::vector<float>{2, 4, 6, 6, 5, 4, 2, 4, 6, 1, 3, 5, 0, 2, 4}));
    ASSERT_EQ(Math("set", "p1", "p2"), 5);
    EXPECT_EQ(Values(Position("p1")), Values(Position("p2")));

    // The variable keeps its static flag.
    memory.SetVariable(MemoryPosition("keep", MakePosition(1, 1, 1, 0, 0, 0, 0), true), Programs::StoreBoth);
    ASSERT_EQ(Math("divide", "keep", "2"), 5);
    EXPECT_TRUE(memory.GetVariable("keep").isStatic);
    EXPECT_FLOAT_EQ(Position("keep").pose(0, 3), 0.5f);
}

TEST_F(VariableCommands, MathErrors) {
    struct Case {
        const char* function;
        const char* first;
        const char* second;
        const char* message;
    };
    const Case cases[] = {
        {"multiply", "p1", "p2", "Invalid operation in MathOperator"},
        {"add", "p1", "2", "Invalid operation in MathOperator"},
        {"power", "p1", "p2", "Unknown operation in MathOperator"},
        {"power", "p1", "2", "Unknown operation in MathOperator"},
        {"power", "count", "2", "Unknown operation in MathOperator!"},
        {"add", "count", "p2", "Invalid second operand, must be scalar"},
        {"add", "p1", "nothing", "Variable nothing is not defined"},
        {"add", "nothing", "p1", "Variable nothing is not defined"},
        {"add", "p1.q", "1", "GetFromMemory: wrong element access"},
        {"add", "count.x", "1", "GetFromMemory: wrong var type"},
    };
    const std::vector<float> before = Values(Position("p1"));
    for (const Case& c : cases) {
        try {
            Math(c.function, c.first, c.second);
            ADD_FAILURE() << "no exception for " << c.function << " " << c.first << " " << c.second;
        } catch (const std::exception& e) {
            EXPECT_EQ(std::string(e.what()), c.message) << c.function << " " << c.first << " " << c.second;
        }
    }
    EXPECT_EQ(Values(Position("p1")), before);
    EXPECT_DOUBLE_EQ(Number("count"), 4.0);
}

TEST_F(VariableCommands, NonFiniteResultsReachNoPositionAndNoSystemVariable) {
    // A number variable takes float division by zero as it is.
    ASSERT_EQ(Math("divide", "count", "0"), 5);
    EXPECT_TRUE(std::isinf(Number("count")));

    // Coordinates, whole positions and system variables refuse it and keep their values.
    const std::vector<float> before = Values(Position("p1"));
    EXPECT_THROW(Math("divide", "p1.x", "0"), std::runtime_error);
    EXPECT_THROW(Math("modulus", "p1.a", "0"), std::runtime_error);
    EXPECT_THROW(Math("divide", "p1", "0"), std::runtime_error);
    EXPECT_THROW(Math("add", "p1.y", "count"), std::runtime_error);
    EXPECT_EQ(Values(Position("p1")), before);

    LogSingleton* log = LogSingleton::instance();
    const int partsGood = log->PartsGood;
    memory.SetVariableSingle("#parts-good", 12.0, false);
    EXPECT_THROW(Math("divide", "#parts-good", "0"), std::runtime_error);
    EXPECT_DOUBLE_EQ(Number("#parts-good"), 12.0);
    EXPECT_EQ(log->PartsGood, 12);
    log->PartsGood = partsGood;
}

TEST_F(VariableCommands, MathLiteralsThatAreNotFiniteAreVariableNames) {
    // "info" scans as inf and "nancy" as nan: they are variables here.
    memory.SetVariableSingle("info", 2.0, true);
    memory.SetVariableSingle("nancy", 3.0, true);
    ASSERT_EQ(Math("add", "count", "info"), 5);
    ASSERT_EQ(Math("add", "count", "nancy"), 5);
    EXPECT_DOUBLE_EQ(Number("count"), 9.0);
    EXPECT_THROW(Math("add", "count", "inf"), std::invalid_argument);
    EXPECT_DOUBLE_EQ(Number("count"), 9.0);
}

TEST_F(VariableCommands, MathReading) {
    TestSupport::LogCapture log;
    CommandMathFunction cmd;
    Read(cmd, R"(<MathOperator Nr="6" Function="Add" FirstOperand="P1.X" SecondOperand="Count"/>)", true);
    ASSERT_TRUE(cmd.valid);
    EXPECT_EQ(cmd.function, "add");
    EXPECT_EQ(cmd.firstOperand, "p1.x");
    EXPECT_EQ(cmd.secondOperand, "count");
    EXPECT_TRUE(log.HasNote("   Nr. 6: Math add FirstOp: p1.x SecondOp: count"));
    EXPECT_EQ(cmd.ToString(), "Command Math add FirstOp: p1.x SecondOp: count - Pre: -42 - Succ: -2 -2 -2");

    for (const char* xml : {R"(<MathOperator FirstOperand="a" SecondOperand="b"/>)",
                            R"(<MathOperator Function="add" SecondOperand="b"/>)",
                            R"(<MathOperator Function="add" FirstOperand="a"/>)"}) {
        CommandMathFunction incomplete;
        log.Clear();
        Read(incomplete, xml, true);
        EXPECT_FALSE(incomplete.valid) << xml;
        EXPECT_TRUE(log.HasError("Could not read CommandMathFunction, incomplete arguments")) << xml;
    }
}

TEST_F(VariableCommands, WrittenVariableCommandsLoadBackEqual) {
    CommandStoreData number;
    number.varType = "number";
    number.varName = "count";
    number.numberValue = 0.1f;
    EXPECT_EQ(CommandXml::Written(number, 2), "<Store Nr=\"2\" Type=\"number\" Name=\"count\" Value=\"0.1\" Descr=\"\" />\n");
    auto numberBack = RoundTrip(number);
    EXPECT_EQ(numberBack->varType, "number");
    EXPECT_EQ(numberBack->varName, "count");
    EXPECT_EQ(numberBack->numberValue, 0.1f);
    number.numberValue = -123456.789f;
    EXPECT_EQ(RoundTrip(number)->numberValue, number.numberValue);

    CommandStoreData current;
    current.varType = "position";
    current.varName = "here";
    current.useCurrentPosition = true;
    EXPECT_EQ(CommandXml::Written(current, 3), "<Store Nr=\"3\" Type=\"position\" Name=\"here\" Descr=\"\" />\n");
    auto currentBack = RoundTrip(current);
    EXPECT_EQ(currentBack->varType, "position");
    EXPECT_TRUE(currentBack->useCurrentPosition);

    CommandStoreData given;
    given.varType = "position";
    given.varName = "p&q";
    given.position[0] = DataTypes::Vector3(1.5f, -2.25f, 1e-7f);
    given.position[1] = DataTypes::Vector3(0.1f, 90.0f, -179.99f);
    for (int j = 0; j < 9; ++j) given.joints[j] = 0.3f * static_cast<float>(j) - 1.0f;
    auto givenBack = RoundTrip(given);
    EXPECT_EQ(givenBack->varName, "p&q");
    EXPECT_FALSE(givenBack->useCurrentPosition);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(givenBack->position[i].x, given.position[i].x);
        EXPECT_EQ(givenBack->position[i].y, given.position[i].y);
        EXPECT_EQ(givenBack->position[i].z, given.position[i].z);
    }
    for (int j = 0; j < 9; ++j) EXPECT_EQ(givenBack->joints[j], given.joints[j]) << j;

    CommandMathFunction math;
    math.function = "subtract";
    math.firstOperand = "p1.z";
    math.secondOperand = "0.5";
    EXPECT_EQ(CommandXml::Written(math, 4),
              "<MathOperator Nr=\"4\" Function=\"subtract\" FirstOperand=\"p1.z\" SecondOperand=\"0.5\" Descr=\"\" />\n");
    auto mathBack = RoundTrip(math);
    EXPECT_EQ(mathBack->function, math.function);
    EXPECT_EQ(mathBack->firstOperand, math.firstOperand);
    EXPECT_EQ(mathBack->secondOperand, math.secondOperand);
}

}  // namespace
