#pragma once

#include <string>

#include "PkgProgram/Command.h"
#include "datatypes/Vector3.h"

// Stores a number or a position variable: given values, or the current set-point.
class CommandStoreData : public Command {
public:
    CommandStoreData();

    void ReadXML(tinyxml2::XMLElement* element, bool quiet) override;
    void WriteXML(std::ofstream* out, int index) override;
    int Interpolate(int cycleMs, float override, DataTypes::RobotState* state) override;
    std::string ToString() override;

    std::string varName;  // lower case
    std::string varType;  // "number" or "position"
    bool useCurrentPosition;
    DataTypes::Vector3 position[2];  // x, y, z and A, B, C
    float joints[9];                 // a1..a6, e1..e3
    float numberValue;
};
