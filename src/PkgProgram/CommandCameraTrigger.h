#pragma once

#include <string>

#include "PkgProgram/Command.h"

// Asks a camera of the camera manager to start a recognition; does not wait for it.
class CommandCameraTrigger : public Command {
public:
    CommandCameraTrigger();

    void ReadXML(tinyxml2::XMLElement* element, bool quiet) override;
    void WriteXML(std::ofstream* out, int index) override;
    int Interpolate(int cycleMs, float override, DataTypes::RobotState* state) override;
    std::string ToString() override;

    std::string cameraName;
};
