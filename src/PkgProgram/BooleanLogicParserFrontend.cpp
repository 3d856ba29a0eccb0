#include "PkgProgram/BooleanLogicParserFrontend.h"

BooleanLogicParserFrontend::BooleanLogicParserFrontend() = default;

void BooleanLogicParserFrontend::SetExpression(const std::string& expr) {
    expression = expr;
    parser.SetExpression(expr);
}

bool BooleanLogicParserFrontend::GetCurrentResult(Programs::ProgramMemory* memory,
                                                  DataTypes::RobotState* state) {
    return parser.Evaluate(memory, state);
}
