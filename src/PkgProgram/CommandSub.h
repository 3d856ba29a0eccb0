#pragma once

#include <string>

#include "PkgProgram/Command.h"

// Calls a sub-program; the loader loads the file and stores its index.
class CommandSub : public Command {
public:
    CommandSub();

    void ReadXML(tinyxml2::XMLElement* element, bool quiet) override;
    void WriteXML(std::ofstream* out, int index) override;
    int Interpolate(int cycleMs, float override, DataTypes::RobotState* state) override;
    std::string ToString() override;

    std::string fileName;
    int subProgramNumber;  // index in the interpreter's program list, 1 or more
};
