#pragma once
// A straight line of the tool centre point with the orientation turning about
// one axis and the external axes moving along; all follow the profile that
// needs longest.

#include "PkgProgram/PathBasicCurve.h"
#include "PkgProgram/PathElementMainBase.h"
#include "datatypes/RobotState.h"

namespace Programs {

class PathElementLine : public PathElementMainBase {
public:
    PathElementLine(int commandIndex, int successorIndex);

    std::string GetType() const override { return "Line"; }
    void PrepareAcceleration() override;
    GetPositionResult GetPosition(float t, DataTypes::RobotState& out) const override;
    float GetVel() const override;
    float GetDuration() const override;
    bool IsTimeInRange(float t) const override;
    std::string ToString() const override;
    void Init(const DataTypes::RobotState& target, float velocity, float startVelocity, float endVelocity,
              float accelerationFactor, float unused1, float unused2) override;
    void PrepareGeometry(DataTypes::RobotState& start, float distStart, float distEnd,
                         DataTypes::RobotState& end) override;

    DataTypes::RobotState endState;
    DataTypes::RobotState startState;
    PathBasicCurve profiles[5];  // translation, orientation, external axes 1 to 3
    float lengths[5] = {};
    float durations[5] = {};
    DataTypes::Vector3 direction;
    DataTypes::Vector3 rotationAxis;
    float rotationAngle = 0.0f;  // degrees
    float externalEnd[3] = {};
    float externalStart[3] = {};
    float externalSign[3] = {};
    int leadingProfile = 0;
};

}  // namespace Programs
