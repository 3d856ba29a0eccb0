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
    // Stores the target pose (the memory solves its joints). A store that did
    // not take (no joint solution) throws std::invalid_argument: the robot
    // must not go on to the old position.
    static void StoreTarget(Command& command, const Programs::MemoryPosition& target);
    // A result names a part when it is valid and its class is not -1; one
    // without (a camera's "no part", pose 0) only gives its class.
    static bool HasPart(bool valid, int modelClass);
    static void StoreClass(Command& command, Programs::MemoryPosition& number, int modelClass);

    std::string varTargetPos;   // lower case
    std::string varModelClass;  // lower case
    std::string cameraName;
    std::string cameraType;
};
