#pragma once

#include <string>

#include "PkgProgram/Command.h"

// Stores a named grid, spanned by three corner variables, in program memory.
class CommandMatrixDefinition : public Command {
public:
    CommandMatrixDefinition();

    void ReadXML(tinyxml2::XMLElement* element, bool quiet) override;
    void WriteXML(std::ofstream* out, int index) override;
    int Interpolate(int cycleMs, float override, DataTypes::RobotState* state) override;
    std::string ToString() override;

    std::string name = "MyMatrix";
    std::string varPointA = "myPosVar1";
    std::string varPointB = "myPosVar2";
    std::string varPointC = "myPosVar3";
    int cntX = 0;
    int cntY = 0;
};
