#include "PkgProgram/BooleanLogicParser.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>

#include "PkgProgram/MemoryPosition.h"
#include "PkgProgram/ProgramMemory.h"
#include "common/LogSingleton.h"
#include "datatypes/RobotState.h"

namespace BooleanLogicParser {

namespace {

const char* const kSyntaxError = "BooleanParser: Syntax Error!";

bool IsLetter(char c) { return c >= 'a' && c <= 'z'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool StartsWord(char c) { return IsLetter(c) || IsDigit(c) || c == '-' || c == '_' || c == '#'; }
bool ContinuesWord(char c) { return StartsWord(c) || c == '.'; }

// The channel number of "din<digits>" / "gsig<digits>", or -1 when the name
// has another form. Numbers beyond the int range saturate.
int ChannelNumber(const std::string& name, const std::string& prefix) {
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) return -1;
    long long n = 0;
    for (std::size_t i = prefix.size(); i < name.size(); ++i) {
        if (!IsDigit(name[i])) return -1;
        if (n < INT_MAX) n = n * 10 + (name[i] - '0');
    }
    return n > INT_MAX ? INT_MAX : static_cast<int>(n);
}

}  // namespace

Parser::Parser() : memory(nullptr), position(0) {}

void Parser::SetExpression(const std::string& expr) {
    expression = expr;
    Tokenize();
    try {
        CheckSyntax();
    } catch (...) {
        // A refused expression leaves nothing behind to evaluate.
        tokens.clear();
        throw;
    }
}

void Parser::Tokenize() {
    tokens.clear();
    resolvedVariables.clear();
    resolvedComparisons.clear();
    for (char& c : expression) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));

    const std::size_t n = expression.size();
    std::size_t i = 0;
    while (i < n) {
        const char c = expression[i];
        if (c == '!') {
            tokens.emplace_back(NEGATION);
        } else if (c == '(') {
            tokens.emplace_back(OpenParenthesis);
        } else if (c == ')') {
            tokens.emplace_back(ClosedParenthesis);
        } else if (c == '=') {
            tokens.emplace_back(Equal);
        } else if (c == '>' || c == '<') {
            const bool orEqual = i + 1 < n && expression[i + 1] == '=';
            if (c == '>') tokens.emplace_back(orEqual ? BiggerEqual : Bigger);
            else tokens.emplace_back(orEqual ? SmallerEqual : Smaller);
            if (orEqual) ++i;
        } else if (StartsWord(c)) {
            std::size_t end = i;
            bool hasLetter = false;
            while (end < n && ContinuesWord(expression[end])) {
                hasLetter = hasLetter || IsLetter(expression[end]);
                ++end;
            }
            const std::string word = expression.substr(i, end - i);
            if (word == "true") tokens.emplace_back(TRUE);
            else if (word == "false") tokens.emplace_back(FALSE);
            else if (word == "and") tokens.emplace_back(AND);
            else if (word == "or") tokens.emplace_back(OR);
            else if (!hasLetter) tokens.emplace_back(NUMBER, word, static_cast<float>(std::atof(word.c_str())));
            else tokens.emplace_back(VARIABLE, word, 0.0f);
            i = end;
            continue;
        }
        // Blanks and any other character are skipped.
        ++i;
    }
}

void Parser::CheckSyntax() const {
    bool noComparator = false;
    bool noOperator = false;
    bool noOpenParenthesis = false;
    int depth = 0;
    for (const Token& t : tokens) {
        if ((t.IsOperator() && noOperator) || (t.IsComparator() && noComparator) ||
            (t.type == OpenParenthesis && noOpenParenthesis)) {
            throw std::invalid_argument(kSyntaxError);
        }
        if (t.IsOperator() || t.type == NEGATION || t.type == OpenParenthesis) {
            noComparator = true;
            noOperator = true;
            noOpenParenthesis = false;
        } else if (t.IsComparator()) {
            noComparator = true;
            noOperator = true;
            noOpenParenthesis = true;
        } else {
            noOperator = false;
            noOpenParenthesis = true;
            noComparator = t.type == ClosedParenthesis;
        }
        if (t.type == OpenParenthesis) ++depth;
        if (t.type == ClosedParenthesis && --depth < 0) throw std::invalid_argument("BooleanParser: Missing (!");
    }
    if (depth > 0) throw std::invalid_argument("BooleanParser: Missing )!");
}

bool Parser::Evaluate(Programs::ProgramMemory* mem, DataTypes::RobotState* state) {
    memory = mem;
    resolvedVariables.clear();
    resolvedVariables.reserve(tokens.size());
    for (const Token& t : tokens) {
        resolvedVariables.push_back(t.type == VARIABLE ? ResolveVariable(t, state) : t);
    }

    ResolveComparisons();

    for (const Token& t : resolvedComparisons) {
        switch (t.type) {
            case TRUE: case FALSE: case NEGATION: case AND: case OR:
            case OpenParenthesis: case ClosedParenthesis:
                break;
            default:
                LogSingleton::instance()->addError("ERROR: BooleanParser - Invalid Condition, Comparison not solved!");
                throw std::invalid_argument("BooleanParser: Invalid Condition, Comparison not solved!");
        }
    }

    position = 0;
    // Tokens after the top-level expression are ignored.
    return Parse(0);
}

Token Parser::ResolveVariable(const Token& token, DataTypes::RobotState* state) const {
    LogSingleton* log = LogSingleton::instance();
    const std::string& name = token.name;

    const int din = ChannelNumber(name, "din");
    if (din >= 0) {
        const int maxIn = static_cast<int>(DataTypes::RobotState::maxIOs);
        if (din < 1 || din > maxIn) {
            char text[96];
            std::snprintf(text, sizeof(text), "invalid DIn number in condition (%d > %d)", din, maxIn);
            log->addError(std::string("BooleanParser: ") + text);
            throw std::runtime_error(text);
        }
        if (state == nullptr) throw std::runtime_error("BooleanParser: Robot state not initialized");
        return Token(state->digitalInputs[din - 1] ? TRUE : FALSE);
    }
    const int gsig = ChannelNumber(name, "gsig");
    if (gsig >= 0) {
        const int maxSig = static_cast<int>(DataTypes::RobotState::maxSignals);
        if (gsig < 1 || gsig > maxSig) {
            char text[96];
            std::snprintf(text, sizeof(text), "invalid GSig number in condition (%d > %d)", gsig, maxSig);
            log->addError(std::string("BooleanParser: ") + text);
            throw std::runtime_error(text);
        }
        if (state == nullptr) throw std::runtime_error("BooleanParser: Robot state not initialized");
        return Token(state->globalSignals[gsig - 1] ? TRUE : FALSE);
    }

    if (memory == nullptr) {
        log->addError("BooleanParser: Memory not initialized!");
        throw std::runtime_error("BooleanParser: Memory not initialized");
    }
    const std::size_t dot = name.find('.');
    const std::string varName = dot == std::string::npos ? name : name.substr(0, dot);
    const std::shared_ptr<const Programs::MemoryPosition> var = memory->Get(varName);
    if (!var) {
        const std::string text = "BooleanParser: Could not find variable \"" + varName + "\"!";
        log->addError(text);
        throw std::invalid_argument(text);
    }
    if (dot == std::string::npos) {
        if (var->type != Programs::MemoryPosition::TypeNumber) {
            log->addError("Memory: Variable " + varName + " is not a number variable!");
            throw std::invalid_argument("GetFromMemory: wrong var type");
        }
        return Token(NUMBER, token.name, static_cast<float>(var->number));
    }
    const std::string element = name.substr(dot + 1);
    if (var->type != Programs::MemoryPosition::TypePosition) {
        log->addError("Memory: Variable " + varName + " is not a position variable!");
        throw std::invalid_argument("GetFromMemory: wrong var type");
    }
    float value = 0.0f;
    if (!var->GetElement(element, value)) {
        log->addError("Memory: wrong element access: " + element);
        throw std::invalid_argument("GetFromMemory: wrong element access");
    }
    return Token(NUMBER, token.name, value);
}

void Parser::ResolveComparisons() {
    resolvedComparisons.clear();
    resolvedComparisons.reserve(resolvedVariables.size());
    const std::size_t n = resolvedVariables.size();
    std::size_t i = 0;
    while (i < n) {
        if (i + 2 < n && resolvedVariables[i].type == NUMBER && resolvedVariables[i + 1].IsComparator() &&
            resolvedVariables[i + 2].type == NUMBER) {
            const float a = resolvedVariables[i].value;
            const float b = resolvedVariables[i + 2].value;
            bool result = false;
            switch (resolvedVariables[i + 1].type) {
                case Equal: result = a == b; break;
                case Bigger: result = a > b; break;
                case Smaller: result = a < b; break;
                case BiggerEqual: result = a >= b; break;
                case SmallerEqual: result = a <= b; break;
                default: break;
            }
            resolvedComparisons.emplace_back(result ? TRUE : FALSE);
            i += 3;
        } else {
            resolvedComparisons.push_back(resolvedVariables[i]);
            ++i;
        }
    }
}

bool Parser::Parse(int depth) {
    if (depth > MaxNesting) throw std::invalid_argument(kSyntaxError);
    const std::size_t n = resolvedComparisons.size();
    if (position >= n) throw std::invalid_argument("BooleanLogicParser: empty expression!");

    bool negate = false;
    while (position < n && resolvedComparisons[position].type == NEGATION) {
        negate = !negate;
        ++position;
    }
    bool value = ParseBoolean(depth) != negate;

    while (position < n && resolvedComparisons[position].IsOperator()) {
        const TokenTypes op = resolvedComparisons[position].type;
        ++position;
        if (position >= n) throw std::invalid_argument("BooleanParser: Missing expression after operand!");
        const bool rhs = ParseBoolean(depth);  // no short-circuit
        value = op == AND ? (value && rhs) : (value || rhs);
    }
    return value;
}

bool Parser::ParseBoolean(int depth) {
    // A negation or operator with nothing after it, or an operator where an
    // operand belongs, would otherwise read past the end or recurse forever.
    if (position >= resolvedComparisons.size()) throw std::invalid_argument(kSyntaxError);
    const TokenTypes type = resolvedComparisons[position].type;
    switch (type) {
        case TRUE:
        case FALSE:
            ++position;
            return type == TRUE;
        case OpenParenthesis: {
            ++position;
            const bool value = Parse(depth + 1);
            if (position >= resolvedComparisons.size() ||
                resolvedComparisons[position].type != ClosedParenthesis) {
                throw std::invalid_argument("BooleanParser: Expecting closing parenthesis!");
            }
            ++position;
            return value;
        }
        case ClosedParenthesis:
            throw std::invalid_argument("BooleanParser: Unexpected closing parenthesis!");
        case NEGATION:
            return Parse(depth + 1);
        default:
            throw std::invalid_argument(kSyntaxError);
    }
}

}  // namespace BooleanLogicParser
