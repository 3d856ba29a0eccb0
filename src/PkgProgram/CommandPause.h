#pragma once

#include "PkgProgram/Command.h"

// Pauses the running program; a later start resumes after this command.
class CommandPause : public Command {
public:
    CommandPause();

    void ReadXML(tinyxml2::XMLElement* element, bool quiet) override;
    void WriteXML(std::ofstream* out, int index) override;
    int Interpolate(int cycleMs, float override, DataTypes::RobotState* state) override;
};
