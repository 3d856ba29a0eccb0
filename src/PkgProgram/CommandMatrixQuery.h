#pragma once

#include <string>

#include "PkgProgram/Command.h"

// Sets a position variable to the point of a stored grid that an index
// variable selects (row by row, X fastest).
class CommandMatrixQuery : public Command {
public:
    CommandMatrixQuery();

    void ReadXML(tinyxml2::XMLElement* element, bool quiet) override;
    void WriteXML(std::ofstream* out, int index) override;
    int Interpolate(int cycleMs, float override, DataTypes::RobotState* state) override;
    std::string ToString() override;

    std::string name = "MyMatrix";
    std::string varIndex = "Index";
    std::string varTargetPos = "myTargetPos";
    std::string varCntX = "myCounterX";
    std::string varCntY = "myCounterY";
};
