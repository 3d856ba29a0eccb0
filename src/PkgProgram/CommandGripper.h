#pragma once

#include "PkgProgram/Command.h"

// Sets the gripper values of the cycle's set-point.
class CommandGripper : public Command {
public:
    CommandGripper();
    // For direct commands: the first value, held to 0..100; the others 0.
    explicit CommandGripper(float position);

    void ReadXML(tinyxml2::XMLElement* element, bool quiet) override;
    void WriteXML(std::ofstream* out, int index) override;
    int Interpolate(int cycleMs, float override, DataTypes::RobotState* state) override;

    float gripper[3];
};
