#pragma once

#include <cstdint>
#include <string>

#include "PkgProgram/Command.h"
#include "common/RelaxedAtomic.h"
#include "datatypes/RobotState.h"
#include "datatypes/Vector3.h"

// Helpers the motion commands share.
namespace MotionCommand {
// A missing or non-positive acceleration would stall the acceleration limiting: it means 100 %.
float AccelerationOrFull(float acceleration);
// A joint velocity above 100 % would ask the joints for more than their maximum: taken as 100, logged once.
float PercentAtMost100(float velocityPercent, const char* command);
std::string Lower(const std::string& text);
// a / b, or 0 when b is 0 (a motion with nothing left to do on that axis).
float SafeDivide(float a, float b);
// The external axis that needs longest at its maximum velocity (from joints 6..8 to goals 6..8):
// its distance D and time T; -1 when none moves.
int LeadingExternalAxis(const float* maxVelocity, const float* from, const float* to, float& D, float& T);
// Remaining translation and external-axis motion as unit directions with their lengths;
// a length not above 0.1 counts as arrived (0).
struct Remaining {
    DataTypes::Vector3 direction;
    float length = 0.0f;
    float external[3] = {};
    float externalLength = 0.0f;
};
Remaining RemainingMotion(const DataTypes::Vector3& from, const DataTypes::Vector3& to, const float* fromExternal,
                          const float* toExternal);
}  // namespace MotionCommand

// Moves the robot to a joint target, all joints arriving together.
class CommandJoint : public Command {
public:
    CommandJoint();

    void ReadXML(tinyxml2::XMLElement* element, bool quiet) override;
    void WriteXML(std::ofstream* out, int index) override;
    int Interpolate(int cycleMs, float override, DataTypes::RobotState* state) override;
    int InterpolateLogic(int cycleMs, float override, DataTypes::RobotState* state) override;
    void GetTargetPosition(DataTypes::RobotState* start, DataTypes::RobotState* target, float& cartVel,
                           float& jointVelPercent, float& acc, float& smooth) override;
    std::string ToString() override;

    std::string abortCondition = "false";
    DataTypes::RobotState target;
    float storedOverride = 0.0f;
    float stepFraction = 0.0f;
    float work[9] = {};
    float largest = 0.0f;
    float goal[9] = {};
    const RelaxedAtomic<float>* jointOffsets = nullptr;  // the interpreter's, set by the loader
    const RelaxedAtomic<float>* cartOffsets = nullptr;   // not used by joint motions
    std::string sourceMode = "numerical";
    std::string variableName;
    int32_t number = 0;  // the client's command number of an added command
};
