#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "PkgProgram/BooleanLogicParserFrontend.h"
#include "PkgProgram/MemoryPosition.h"
#include "PkgProgram/ProgramMemory.h"
#include "support/LogCapture.h"
#include "datatypes/RobotState.h"

namespace {

using Programs::MemoryPosition;

class ProgramConditionLanguage : public ::testing::Test {
protected:
    void SetUp() override {
        memory.SetVariableSingle("counter", 5.0, true);
        memory.SetVariableSingle("near", 5.00001, true);
        memory.SetVariableSingle("dinx", 1.0, true);
        memory.SetVariableSingle("big", 1e300, true);
        DataTypes::RobotState p;
        p.pose.SetTranslation(150.0f, -20.0f, 300.0f);
        p.A = 10.0f;
        p.B = 20.0f;
        p.C = 30.0f;
        for (int j = 0; j < 9; ++j) p.jointSetPoint[j] = static_cast<float>(j + 1);
        memory.SetVariable(MemoryPosition("P1", p, false), Programs::StoreBoth);

        state.digitalInputs[2] = true;    // din3
        state.digitalInputs[63] = true;   // din64
        state.globalSignals[99] = true;   // gsig100
        state.globalSignals[11] = false;  // gsig12
    }

    bool Eval(const std::string& expression) {
        BooleanLogicParserFrontend frontend;
        frontend.SetExpression(expression);
        return frontend.GetCurrentResult(&memory, &state);
    }

    Programs::ProgramMemory memory;
    DataTypes::RobotState state;
};

struct TrueFalseCase {
    const char* expression;
    bool expected;
};

TEST_F(ProgramConditionLanguage, EvaluatesInputsSignalsVariablesAndOperators) {
    const TrueFalseCase cases[] = {
        // inputs and signals, counted from 1, case-insensitive
        {"DIN3", true},
        {"din1", false},
        {"din64", true},
        {"gsig100", true},
        {"gsig12", false},
        {"!gsig12", true},
        {"dinx = 1", true},  // not a channel: the number variable "dinx"
        // comparisons of numbers and variables
        {"counter >= 5", true},
        {"counter>=5", true},
        {"counter = 5", true},
        {"near = 5", false},  // exact equality
        {"counter > 5", false},
        {"counter < 6", true},
        {"counter <= 4", false},
        {"5 > counter", false},
        {"-1 < 0", true},
        {"1 = 1.0", true},
        {"COUNTER = 5", true},
        {"big > 1000000", true},
        // position components
        {"p1.X > 100", true},
        {"p1.y < 0", true},
        {"p1.z = 300", true},
        {"p1.a = 10", true},
        {"p1.b = 20", true},
        {"p1.c = 30", true},
        {"p1.a1 = 1", true},
        {"p1.a6 = 6", true},
        {"p1.e1 = 7", true},
        {"p1.e3 = 9", true},
        // logic: and/or share one precedence, left to right
        {"true or false and false", false},
        {"(1 < 2)", true},
        {"!!true", true},
        {"!(false or false)", true},
        {"true true", true},  // trailing tokens are ignored
        {"true and !false", true},
        // a "!" after an operator takes the rest of the chain: false and ((not false) or true)
        {"false and !false or true", false},
        {"true and !true or true", true},
        {"din3 and (counter > 5 or !gsig12)", true},
        {"din1 or (counter = 5 and p1.x >= 150)", true},
        {"((((true))))", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expression);
        EXPECT_EQ(Eval(c.expression), c.expected);
    }
}

struct ErrorCase {
    const char* expression;
    enum { InvalidArgument, RuntimeError } kind;
    const char* message;
};

TEST_F(ProgramConditionLanguage, ReportsBadChannelsUnknownVariablesAndSyntaxErrors) {
    const char* const syntax = "BooleanParser: Syntax Error!";
    const char* const unsolved = "BooleanParser: Invalid Condition, Comparison not solved!";
    const ErrorCase cases[] = {
        {"din65", ErrorCase::RuntimeError, "invalid DIn number in condition (65 > 64)"},
        {"din0", ErrorCase::RuntimeError, "invalid DIn number in condition (0 > 64)"},
        {"din99999999999999999999", ErrorCase::RuntimeError, "invalid DIn number in condition (2147483647 > 64)"},
        {"gsig101", ErrorCase::RuntimeError, "invalid GSig number in condition (101 > 100)"},
        {"gsig0", ErrorCase::RuntimeError, "invalid GSig number in condition (0 > 100)"},
        {"(true", ErrorCase::InvalidArgument, "BooleanParser: Missing )!"},
        {"true)", ErrorCase::InvalidArgument, "BooleanParser: Missing (!"},
        {"true and", ErrorCase::InvalidArgument, "BooleanParser: Missing expression after operand!"},
        {"and and", ErrorCase::InvalidArgument, syntax},
        {"counter > > 1", ErrorCase::InvalidArgument, syntax},
        {"1 > (2)", ErrorCase::InvalidArgument, syntax},
        {"5", ErrorCase::InvalidArgument, unsolved},
        {"1 < 2 < 3", ErrorCase::InvalidArgument, unsolved},
        {"counter", ErrorCase::InvalidArgument, unsolved},
        {"", ErrorCase::InvalidArgument, "BooleanLogicParser: empty expression!"},
        {"()", ErrorCase::InvalidArgument, "BooleanParser: Unexpected closing parenthesis!"},
        {"unknown > 1", ErrorCase::InvalidArgument, "BooleanParser: Could not find variable \"unknown\"!"},
        {"nope.x > 1", ErrorCase::InvalidArgument, "BooleanParser: Could not find variable \"nope\"!"},
        {"p1 > 1", ErrorCase::InvalidArgument, "GetFromMemory: wrong var type"},
        {"counter.x > 1", ErrorCase::InvalidArgument, "GetFromMemory: wrong var type"},
        {"p1.q > 1", ErrorCase::InvalidArgument, "GetFromMemory: wrong element access"},
        {"p1.a7 > 1", ErrorCase::InvalidArgument, "GetFromMemory: wrong element access"},
        {"p1. > 1", ErrorCase::InvalidArgument, "GetFromMemory: wrong element access"},
        // would recurse without end or read past the last token
        {"and true", ErrorCase::InvalidArgument, syntax},
        {"or false", ErrorCase::InvalidArgument, syntax},
        {"and", ErrorCase::InvalidArgument, syntax},
        {"!", ErrorCase::InvalidArgument, syntax},
        {"!!", ErrorCase::InvalidArgument, syntax},
        {"true and !", ErrorCase::InvalidArgument, syntax},
        {"true or (!)", ErrorCase::InvalidArgument, "BooleanParser: Unexpected closing parenthesis!"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expression);
        try {
            Eval(c.expression);
            ADD_FAILURE() << "no exception";
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(c.kind, ErrorCase::InvalidArgument);
            EXPECT_STREQ(e.what(), c.message);
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(c.kind, ErrorCase::RuntimeError);
            EXPECT_STREQ(e.what(), c.message);
        }
    }
}

TEST_F(ProgramConditionLanguage, SyntaxErrorsAreFoundWhenTheExpressionIsSet) {
    for (const char* expression : {"(true", "true)", "and and", "a > > b", "a > (b)"}) {
        SCOPED_TRACE(expression);
        BooleanLogicParserFrontend frontend;
        EXPECT_THROW(frontend.SetExpression(expression), std::invalid_argument);
        // Nothing of the refused expression is left to evaluate.
        EXPECT_THROW(frontend.GetCurrentResult(&memory, &state), std::invalid_argument);
    }
}

TEST_F(ProgramConditionLanguage, EachEvaluationReadsStateAndMemoryAfresh) {
    BooleanLogicParserFrontend frontend;
    frontend.SetExpression("din5 and counter > 6");
    EXPECT_FALSE(frontend.GetCurrentResult(&memory, &state));
    state.digitalInputs[4] = true;
    EXPECT_FALSE(frontend.GetCurrentResult(&memory, &state));
    memory.SetVariableSingle("counter", 7.0, false);
    EXPECT_TRUE(frontend.GetCurrentResult(&memory, &state));
    state.digitalInputs[4] = false;
    EXPECT_FALSE(frontend.GetCurrentResult(&memory, &state));
}

TEST_F(ProgramConditionLanguage, MissingMemoryOrStateIsAnErrorNotACrash) {
    BooleanLogicParserFrontend frontend;
    frontend.SetExpression("counter > 1");
    try {
        frontend.GetCurrentResult(nullptr, &state);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "BooleanParser: Memory not initialized");
    }
    frontend.SetExpression("din1");
    EXPECT_THROW(frontend.GetCurrentResult(&memory, nullptr), std::runtime_error);
    // Constants need neither.
    frontend.SetExpression("1 < 2 and true");
    EXPECT_TRUE(frontend.GetCurrentResult(nullptr, nullptr));
}

TEST_F(ProgramConditionLanguage, ErrorsAreLogged) {
    TestSupport::LogCapture log;
    EXPECT_THROW(Eval("5"), std::invalid_argument);
    EXPECT_TRUE(log.Has("ERROR: BooleanParser - Invalid Condition, Comparison not solved!", true));
    EXPECT_THROW(Eval("p1.q = 1"), std::invalid_argument);
    EXPECT_TRUE(log.Has("Memory: wrong element access: q", true));
    EXPECT_THROW(Eval("p1 = 1"), std::invalid_argument);
    EXPECT_TRUE(log.Has("Memory: Variable p1 is not a number variable!", true));
    EXPECT_THROW(Eval("counter.x = 1"), std::invalid_argument);
    EXPECT_TRUE(log.Has("Memory: Variable counter is not a position variable!", true));
    EXPECT_THROW(Eval("din65"), std::runtime_error);
    EXPECT_TRUE(log.HasErrorContaining("invalid DIn number in condition (65 > 64)"));
}

TEST_F(ProgramConditionLanguage, TokenizerSkipsStrayCharactersAndReadsWords) {
    BooleanLogicParser::Parser parser;
    parser.SetExpression("Din3 >= 1.5, #sys_var <= -2 ? .5");
    const auto& t = parser.GetTokens();
    ASSERT_EQ(t.size(), 7u);
    EXPECT_EQ(t[0].type, BooleanLogicParser::VARIABLE);
    EXPECT_EQ(t[0].name, "din3");
    EXPECT_EQ(t[1].type, BooleanLogicParser::BiggerEqual);
    EXPECT_EQ(t[2].type, BooleanLogicParser::NUMBER);
    EXPECT_FLOAT_EQ(t[2].value, 1.5f);
    EXPECT_EQ(t[3].type, BooleanLogicParser::VARIABLE);
    EXPECT_EQ(t[3].name, "#sys_var");
    EXPECT_EQ(t[4].type, BooleanLogicParser::SmallerEqual);
    EXPECT_EQ(t[5].type, BooleanLogicParser::NUMBER);
    EXPECT_FLOAT_EQ(t[5].value, -2.0f);
    // A "." cannot start a word: ".5" reads as the number 5.
    EXPECT_EQ(t[6].type, BooleanLogicParser::NUMBER);
    EXPECT_FLOAT_EQ(t[6].value, 5.0f);
    EXPECT_STREQ(BooleanLogicParser::Token::TypeName(BooleanLogicParser::SmallerEqual), "SmallerEqual");
}

TEST_F(ProgramConditionLanguage, DeepNestingIsBoundedInsteadOfExhaustingTheStack) {
    const int limit = BooleanLogicParser::Parser::MaxNesting;
    const std::string inside = std::string(static_cast<size_t>(limit - 1), '(') + "true" +
                               std::string(static_cast<size_t>(limit - 1), ')');
    EXPECT_TRUE(Eval(inside));
    const std::string tooDeep = std::string(100000, '(') + "true" + std::string(100000, ')');
    EXPECT_THROW(Eval(tooDeep), std::invalid_argument);
    std::string chain = "true";
    for (int i = 0; i < 20000; ++i) chain += " and !false";
    EXPECT_THROW(Eval(chain), std::invalid_argument);
    // Runs of "!" are folded without nesting.
    EXPECT_TRUE(Eval(std::string(100000, '!') + "true"));
}

}  // namespace
