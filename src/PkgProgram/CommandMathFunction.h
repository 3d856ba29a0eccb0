#pragma once

#include <string>

#include "PkgProgram/Command.h"

// Computes with numbers, position elements and whole positions; the result
// replaces the first operand.
class CommandMathFunction : public Command {
public:
    CommandMathFunction();

    void ReadXML(tinyxml2::XMLElement* element, bool quiet) override;
    void WriteXML(std::ofstream* out, int index) override;
    int Interpolate(int cycleMs, float override, DataTypes::RobotState* state) override;
    std::string ToString() override;

    // The scalar operation; throws std::invalid_argument for an unknown function.
    static float Operation(const std::string& function, float first, float second);

    std::string function;       // lower case
    std::string firstOperand;   // lower case
    std::string secondOperand;  // lower case
};
