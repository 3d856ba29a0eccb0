#include "PkgProgram/CommandMathFunction.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <exception>
#include <stdexcept>

#include "PkgProgram/CommandSupport.h"
#include "PkgProgram/MemoryPosition.h"
#include "PkgProgram/ProgramMemory.h"
#include "common/LogSingleton.h"
#include "common/StringHelper.h"
#include "datatypes/RobotState.h"

namespace {

// One operand: a scalar (literal, number variable or position element) or a
// whole position variable.
struct Operand {
    bool scalar = false;
    float value = 0.0f;
    std::string variable;
    std::string element;  // set for a position element
};

// "p1.x" gives variable p1 and element x; false without a point.
bool SplitElement(const std::string& text, std::string& variable, std::string& element) {
    const std::size_t dot = text.find('.');
    if (dot == std::string::npos) return false;
    variable = text.substr(0, dot);
    element = text.substr(dot + 1);
    return true;
}

// The translation, A, B, C and the nine joints: what position arithmetic works on.
std::array<float*, 15> Components(DataTypes::RobotState& s) {
    return {&s.pose(0, 3),       &s.pose(1, 3),       &s.pose(2, 3),       &s.A,
            &s.B,                &s.C,                &s.jointSetPoint[0], &s.jointSetPoint[1],
            &s.jointSetPoint[2], &s.jointSetPoint[3], &s.jointSetPoint[4], &s.jointSetPoint[5],
            &s.jointSetPoint[6], &s.jointSetPoint[7], &s.jointSetPoint[8]};
}

Programs::MemoryPosition ReadPosition(Programs::ProgramMemory* memory, const std::string& name) {
    Programs::MemoryPosition var = memory->GetVariable(name);
    if (var.type == Programs::MemoryPosition::TypeNone) throw std::invalid_argument("Variable not defined");
    return var;
}

std::runtime_error NotFinite(const std::string& target) {
    return std::runtime_error("MathOperator: result for " + target + " is not a finite number, variable unchanged");
}

}  // namespace

CommandMathFunction::CommandMathFunction() { className = "CommandMathFunction"; }

void CommandMathFunction::ReadXML(tinyxml2::XMLElement* element, bool /*quiet*/) {
    // The listing is written even for a quiet load.
    LogSingleton* log = LogSingleton::instance();
    try {
        const int nr = QueryInt(element, "Nr", 0);
        if (!CommandSupport::HasAttribute(element, "Function") ||
            !CommandSupport::HasAttribute(element, "FirstOperand") ||
            !CommandSupport::HasAttribute(element, "SecondOperand")) {
            Refuse(FirstMissing(element, {"Function", "FirstOperand", "SecondOperand"}));
            log->addError("Could not read CommandMathFunction, incomplete arguments");
            return;
        }
        function = StringHelper::ToLower(ReadString(element, "Function"));
        firstOperand = StringHelper::ToLower(ReadString(element, "FirstOperand"));
        secondOperand = StringHelper::ToLower(ReadString(element, "SecondOperand"));
        valid = true;
        log->addFormat("   Nr. %d: Math %s FirstOp: %s SecondOp: %s", nr, function, firstOperand, secondOperand);
    } catch (const std::exception& e) {
        Refuse(e.what());
        log->addError("Error: could not read Math command...");
    }
}

void CommandMathFunction::WriteXML(std::ofstream* out, int index) {
    using CommandSupport::EscapeXml;
    CommandSupport::WriteLine(
        out, CommandSupport::Format(
                 "<MathOperator Nr=\"%d\" Function=\"%s\" FirstOperand=\"%s\" SecondOperand=\"%s\" Descr=\"\" />",
                 index, EscapeXml(function).c_str(), EscapeXml(firstOperand).c_str(), EscapeXml(secondOperand).c_str()));
}

float CommandMathFunction::Operation(const std::string& fn, float first, float second) {
    if (fn == "add") return first + second;
    if (fn == "subtract") return first - second;
    if (fn == "set") return second;
    if (fn == "multiply") return first * second;
    if (fn == "divide") return first / second;  // float division: 0 gives an infinite value
    if (fn == "modulus") return std::fmod(first, second);
    throw std::invalid_argument("Unknown operation in MathOperator!");
}

int CommandMathFunction::Interpolate(int /*cycleMs*/, float /*override*/, DataTypes::RobotState* /*state*/) {
    if (memory == nullptr) {
        LogSingleton::instance()->addError("ERROR in CMD: memory not initialized!");
        throw std::runtime_error("Command: memory not initialized");
    }

    Operand first;
    if (SplitElement(firstOperand, first.variable, first.element)) {
        first.scalar = true;
        first.value = GetVariablePositionElement(first.variable, first.element);
    } else {
        first.variable = firstOperand;
        if (memory->GetVariableType(first.variable) == Programs::MemoryPosition::TypeNumber) {
            first.scalar = true;
            first.value = GetVariableNumberValue(first.variable);
        }
    }

    Operand second;
    float literal = 0.0f;
    // "nan" and "inf" would also scan, and so would a variable named "info".
    if (std::sscanf(secondOperand.c_str(), "%f", &literal) == 1 && std::isfinite(literal)) {
        second.scalar = true;
        second.value = literal;
    } else if (SplitElement(secondOperand, second.variable, second.element)) {
        second.scalar = true;
        second.value = GetVariablePositionElement(second.variable, second.element);
    } else {
        second.variable = secondOperand;
        if (memory->GetVariableType(second.variable) == Programs::MemoryPosition::TypeNumber) {
            second.scalar = true;
            second.value = GetVariableNumberValue(second.variable);
        }
    }

    if (first.scalar) {
        if (!second.scalar) throw std::invalid_argument("Invalid second operand, must be scalar");
        const float result = Operation(function, first.value, second.value);
        if (!first.element.empty()) {
            // A coordinate that is not finite would reach the motion planning.
            if (!std::isfinite(result)) throw NotFinite(firstOperand);
            SetVariablePositionElement(first.variable, first.element, result);
        } else {
            // System variables feed the persistent part counters and the run flags.
            if (!std::isfinite(result) && !first.variable.empty() && first.variable[0] == '#') {
                throw NotFinite(firstOperand);
            }
            SetVariableNumberValue(first.variable, result);
        }
        return succ[0];
    }

    Programs::MemoryPosition target = ReadPosition(memory, first.variable);
    DataTypes::RobotState result = target.position;
    const std::array<float*, 15> out = Components(result);
    if (!second.scalar) {
        Programs::MemoryPosition other = ReadPosition(memory, second.variable);
        const std::array<float*, 15> in = Components(other.position);
        if (function == "add") {
            for (std::size_t i = 0; i < out.size(); ++i) *out[i] += *in[i];
        } else if (function == "subtract") {
            for (std::size_t i = 0; i < out.size(); ++i) *out[i] -= *in[i];
        } else if (function == "set") {
            for (std::size_t i = 0; i < out.size(); ++i) *out[i] = *in[i];
        } else if (function == "multiply" || function == "divide" || function == "modulus") {
            throw std::invalid_argument("Invalid operation in MathOperator");
        } else {
            throw std::invalid_argument("Unknown operation in MathOperator");
        }
    } else {
        const float s = second.value;
        if (function == "multiply") {
            for (float* v : out) *v *= s;
        } else if (function == "divide") {
            for (float* v : out) *v /= s;
        } else if (function == "modulus") {
            for (float* v : out) *v = std::fmod(*v, s);
        } else if (function == "add" || function == "subtract" || function == "set") {
            throw std::invalid_argument("Invalid operation in MathOperator");
        } else {
            throw std::invalid_argument("Unknown operation in MathOperator");
        }
    }
    for (const float* v : out) {
        if (!std::isfinite(*v)) throw NotFinite(firstOperand);
    }
    target.position = result;
    memory->SetVariable(target, Programs::StoreBoth);
    return succ[0];
}

std::string CommandMathFunction::ToString() {
    return "Command Math " + function + " FirstOp: " + firstOperand + " SecondOp: " + secondOperand +
           CommandSupport::LinkText(*this);
}
