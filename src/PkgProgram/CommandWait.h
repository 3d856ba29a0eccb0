#pragma once

#include <cstdint>
#include <string>

#include "PkgProgram/Command.h"

// Waits a time or until a condition holds.
class CommandWait : public Command {
public:
    static constexpr int WaitTime = 0;
    static constexpr int WaitConditional = 1;

    CommandWait();
    // A time wait for direct commands; a negative time does not wait.
    explicit CommandWait(int ms);

    void ReadXML(tinyxml2::XMLElement* element, bool quiet) override;
    void WriteXML(std::ofstream* out, int index) override;
    int Interpolate(int cycleMs, float override, DataTypes::RobotState* state) override;

    int32_t timeMs;
    int32_t elapsedMs;
    int waitMode;  // 1 conditional, else time
    std::string condition;
};
