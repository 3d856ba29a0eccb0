#pragma once

#include <string>

#include "PkgProgram/Command.h"

// A comment line of the program; does nothing when run.
class CommandComment : public Command {
public:
    CommandComment();

    void ReadXML(tinyxml2::XMLElement* element, bool quiet) override;
    void WriteXML(std::ofstream* out, int index) override;
    int Interpolate(int cycleMs, float override, DataTypes::RobotState* state) override;

    std::string description;  // the comment text, kept for writing the program back
};
