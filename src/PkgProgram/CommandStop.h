#pragma once

#include "PkgProgram/Command.h"

// Ends the run of the program.
class CommandStop : public Command {
public:
    CommandStop();

    void ReadXML(tinyxml2::XMLElement* element, bool quiet) override;
    void WriteXML(std::ofstream* out, int index) override;
    int Interpolate(int cycleMs, float override, DataTypes::RobotState* state) override;
};
