#pragma once

#include <string>

#include "PkgProgram/Command.h"

// Sets a digital output or a global signal in the cycle's set-point.
class CommandDIO : public Command {
public:
    CommandDIO();

    void ReadXML(tinyxml2::XMLElement* element, bool quiet) override;
    void WriteXML(std::ofstream* out, int index) override;
    int Interpolate(int cycleMs, float override, DataTypes::RobotState* state) override;
    std::string ToString() override;

    int channel;  // 0-based
    bool outputState;
    bool isDigitalOut;  // false: global signal
};
