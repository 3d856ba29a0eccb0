#pragma once

#include <string>

#include "PkgProgram/Command.h"

// Branch: the first visit tests the condition and enters succ[1] (true) or
// succ[2] (false); the branch leads back here and the next visit leaves
// through succ[0].
class CommandIf : public Command {
public:
    CommandIf();

    void ReadXML(tinyxml2::XMLElement* element, bool quiet) override;
    // Writes the opening element only; the writer closes the branch.
    void WriteXML(std::ofstream* out, int index) override;
    int Interpolate(int cycleMs, float override, DataTypes::RobotState* state) override;
    std::string ToString() override;

    std::string condition;
};
