#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "PkgProgram/BooleanLogicToken.h"

namespace DataTypes {
class RobotState;
}
namespace Programs {
class ProgramMemory;
}

namespace BooleanLogicParser {

// Tokenizes, checks and evaluates a condition such as
// "din3 and (counter > 5 or !gsig12)".
//
// "and" and "or" share one precedence and apply left to right; a "!" that
// follows an operator negates the rest of the chain up to the next ")".
// Comparisons bind tightest but only between two plain numbers.
class Parser {
public:
    Parser();

    // Throws std::invalid_argument on a syntax error.
    void SetExpression(const std::string& expression);
    // Reads inputs, signals and variables afresh on every call. Throws
    // std::invalid_argument or std::runtime_error.
    bool Evaluate(Programs::ProgramMemory* memory, DataTypes::RobotState* state);

    const std::vector<Token>& GetTokens() const { return tokens; }

    // Deepest nesting of parentheses and negated operator chains accepted;
    // deeper input is a syntax error rather than a stack overflow.
    static constexpr int MaxNesting = 500;

private:
    void Tokenize();
    void CheckSyntax() const;
    Token ResolveVariable(const Token& token, DataTypes::RobotState* state) const;
    void ResolveComparisons();
    bool Parse(int depth);
    bool ParseBoolean(int depth);

    std::string expression;
    std::vector<Token> tokens;
    std::vector<Token> resolvedVariables;
    std::vector<Token> resolvedComparisons;
    Programs::ProgramMemory* memory;
    std::size_t position;  // next unread token of resolvedComparisons
};

}  // namespace BooleanLogicParser
