#pragma once

#include <cstdint>
#include <string>

#include "PkgProgram/Command.h"
#include "common/RelaxedAtomic.h"
#include "datatypes/RobotState.h"

// Moves the robot by an offset from where it stands when the motion starts:
// by joint angles, or by a translation in the base or the tool frame.
class CommandRelative : public Command {
public:
    enum MotionType : int32_t { Joint = 0, CartBase = 1, CartTool = 2 };

    CommandRelative();

    void ReadXML(tinyxml2::XMLElement* element, bool quiet) override;
    void WriteXML(std::ofstream* out, int index) override;
    int Interpolate(int cycleMs, float override, DataTypes::RobotState* state) override;
    int InterpolateLogic(int cycleMs, float override, DataTypes::RobotState* state) override;
    void GetTargetPosition(DataTypes::RobotState* start, DataTypes::RobotState* target, float& cartVel,
                           float& jointVelPercent, float& acc, float& smooth) override;

    // Sets the motion type with its command kind.
    void SetMotionType(MotionType type);

    float storedOverride = 0.0f;
    float stepFraction = 0.0f;
    float work[9] = {};
    float largest = 0.0f;
    float threshold = 0.0f;
    float linearStep = 0.0f;
    float externalStep = 0.0f;
    std::string abortCondition = "false";
    MotionType motionType = CartBase;
    DataTypes::RobotState offset;  // joints: joint offsets; translation: x, y, z; joints 6..8: external offsets
    DataTypes::RobotState goal;
    const RelaxedAtomic<float>* jointOffsets = nullptr;  // the interpreter's; a relative move does not apply them
    const RelaxedAtomic<float>* cartOffsets = nullptr;
    int32_t number = 0;

private:
    int InterpolateJoint(int cycleMs, float override, DataTypes::RobotState* state);
    int InterpolateLinear(int cycleMs, float override, DataTypes::RobotState* state);
    // The robot's rotation applied to a vector (tool frame to base frame).
    static DataTypes::Vector3 Rotate(const DataTypes::Matrix44& pose, const DataTypes::Vector3& v);
};
