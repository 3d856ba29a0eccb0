#pragma once

#include <string>

namespace BooleanLogicParser {

enum TokenTypes {
    UNDEFINED = 0,
    TRUE = 1,
    FALSE = 2,
    NEGATION = 3,
    AND = 4,
    OR = 5,
    OpenParenthesis = 6,
    ClosedParenthesis = 7,
    NUMBER = 8,
    VARIABLE = 9,
    Equal = 10,
    Bigger = 11,
    Smaller = 12,
    BiggerEqual = 13,
    SmallerEqual = 14
};

// One token of a condition: a keyword, an operator, a number or a variable.
class Token {
public:
    Token();
    explicit Token(TokenTypes type);
    Token(TokenTypes type, const std::string& name, float value);

    bool IsComparator() const { return type >= Equal && type <= SmallerEqual; }
    bool IsOperator() const { return type == AND || type == OR; }
    // Display name of the type ("UNDEFINED", "TRUE", ... "SmallerEqual").
    static const char* TypeName(TokenTypes type);

    TokenTypes type;
    std::string name;  // the variable name of VARIABLE tokens
    float value;       // the number of NUMBER tokens
};

}  // namespace BooleanLogicParser
