#pragma once

#include "PkgProgram/Command.h"

// Sets the velocity of a velocity-mode external axis; velocity in
// `targetVelocity`, acceleration in `acceleration`.
class CommandSetVelocity : public Command {
public:
    CommandSetVelocity();

    void ReadXML(tinyxml2::XMLElement* element, bool quiet) override;
    void WriteXML(std::ofstream* out, int index) override;
    int Interpolate(int cycleMs, float override, DataTypes::RobotState* state) override;
    int InterpolateLogic(int cycleMs, float override, DataTypes::RobotState* state) override;

    int joint;  // external axis 0..2
};
