#pragma once

#include <string>

#include "PkgProgram/Command.h"

// Placeholder command: logs and hands on.
class CommandSystem : public Command {
public:
    CommandSystem();

    void ReadXML(tinyxml2::XMLElement* element, bool quiet) override;
    void WriteXML(std::ofstream* out, int index) override;
    int Interpolate(int cycleMs, float override, DataTypes::RobotState* state) override;
    std::string ToString() override;
};
