#pragma once

#include <cstdint>
#include <string>

#include "PkgProgram/Command.h"

// Repeats its body (succ[1]) a number of times or until a condition holds,
// tested before every pass; leaves through succ[0].
class CommandLoop : public Command {
public:
    static constexpr int LoopConditional = 1;
    static constexpr int LoopCounting = 0;

    CommandLoop();

    void ReadXML(tinyxml2::XMLElement* element, bool quiet) override;
    // Writes the opening element only; the writer closes the loop.
    void WriteXML(std::ofstream* out, int index) override;
    int Interpolate(int cycleMs, float override, DataTypes::RobotState* state) override;
    std::string ToString() override;

    std::string condition;
    int times;
    int counter;
    int loopMode;  // 1 conditional, else counting
};
