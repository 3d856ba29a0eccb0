#include "PkgProgram/BooleanLogicToken.h"

namespace BooleanLogicParser {

Token::Token() : type(UNDEFINED), name("na"), value(0.0f) {}

Token::Token(TokenTypes t) : type(t), name("na"), value(0.0f) {}

Token::Token(TokenTypes t, const std::string& n, float v) : type(t), name(n), value(v) {}

const char* Token::TypeName(TokenTypes type) {
    switch (type) {
        case UNDEFINED: return "UNDEFINED";
        case TRUE: return "TRUE";
        case FALSE: return "FALSE";
        case NEGATION: return "NEGATION";
        case AND: return "AND";
        case OR: return "OR";
        case OpenParenthesis: return "OpenParenthesis";
        case ClosedParenthesis: return "ClosedParenthesis";
        case NUMBER: return "NUMBER";
        case VARIABLE: return "VARIABLE";
        case Equal: return "Equal";
        case Bigger: return "Bigger";
        case Smaller: return "Smaller";
        case BiggerEqual: return "BiggerEqual";
        case SmallerEqual: return "SmallerEqual";
    }
    return "UNDEFINED";
}

}  // namespace BooleanLogicParser
