#pragma once

#include <string>

#include "PkgProgram/Command.h"

// Takes the latest target of a camera of the camera manager into a position
// variable and its model class into a number variable.
class CommandCamera : public Command {
public:
    CommandCamera();

    void ReadXML(tinyxml2::XMLElement* element, bool quiet) override;
    void WriteXML(std::ofstream* out, int index) override;
    int Interpolate(int cycleMs, float override, DataTypes::RobotState* state) override;
    std::string ToString() override;

    // The position variable and the number variable a camera or plug-in
    // command writes; throws std::invalid_argument when one is missing or of
    // the other kind.
    static void FetchTargetVariables(Command& command, const std::string& position, const std::string& modelClass,
                                     Programs::MemoryPosition& target, Programs::MemoryPosition& number);
    // Stores the target pose (the memory solves its joints). For a new target
    // a store that did not take (no joint solution) throws
    // std::invalid_argument: the robot must not go on to the old position.
    static void StoreTarget(Command& command, const Programs::MemoryPosition& target, bool newTarget);

    std::string varTargetPos;   // lower case
    std::string varModelClass;  // lower case
    std::string cameraName;
    std::string cameraType;
};
