#pragma once

#include <cstdint>
#include <string>

#include "PkgProgram/Command.h"
#include "common/RelaxedAtomic.h"
#include "datatypes/RobotState.h"
#include "datatypes/Vector3.h"

// Moves the tool centre point on a straight line to a Cartesian target, turning
// the orientation about one axis and moving the external axes along.
class CommandLinear : public Command {
public:
    CommandLinear();

    void ReadXML(tinyxml2::XMLElement* element, bool quiet) override;
    void WriteXML(std::ofstream* out, int index) override;
    int Interpolate(int cycleMs, float override, DataTypes::RobotState* state) override;
    int InterpolateLogic(int cycleMs, float override, DataTypes::RobotState* state) override;
    void GetTargetPosition(DataTypes::RobotState* start, DataTypes::RobotState* target, float& cartVel,
                           float& jointVelPercent, float& acc, float& smooth) override;

    // Target pose from a position and A, B, C in degrees.
    void SetTarget(float x, float y, float z, float a, float b, float c);

    const RelaxedAtomic<float>* jointOffsets = nullptr;  // the interpreter's, set by the loader
    const RelaxedAtomic<float>* cartOffsets = nullptr;   // x, y, z, A, B, C
    std::string abortCondition = "false";
    std::string sourceMode = "numerical";
    std::string variableName;
    DataTypes::RobotState target;
    DataTypes::RobotState offsetTarget;
    float storedOverride = 0.0f;
    float linearStep = 0.0f;
    float rotationStep = 0.0f;
    float externalStep = 0.0f;
    DataTypes::Vector3 rotationAxis;
    float remainingAngle = 0.0f;
    int32_t number = 0;
};
