#pragma once

#include <string>

#include "PkgProgram/BooleanLogicParser.h"

// Entry of the commands into the condition language: set the text once,
// evaluate it whenever the condition is tested.
class BooleanLogicParserFrontend {
public:
    BooleanLogicParserFrontend();

    // Throws std::invalid_argument on a syntax error.
    void SetExpression(const std::string& expr);
    // Throws std::invalid_argument or std::runtime_error.
    bool GetCurrentResult(Programs::ProgramMemory* memory, DataTypes::RobotState* state);

    const std::string& GetExpression() const { return expression; }

private:
    std::string expression;
    BooleanLogicParser::Parser parser;
};
