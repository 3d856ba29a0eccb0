#pragma once
// A move in joint space: every joint on a straight line between two joint
// sets, all following the joint that needs longest.

#include "PkgProgram/PathBasicCurve.h"
#include "PkgProgram/PathElementMainBase.h"
#include "datatypes/VectorN.h"

namespace Programs {

class PathElementJointSet : public PathElementMainBase {
public:
    PathElementJointSet(int commandIndex, int successorIndex);

    std::string GetType() const override { return "Joint"; }
    void PrepareAcceleration() override;
    GetPositionResult GetPosition(float t, DataTypes::RobotState& out) const override;
    float GetVel() const override { return velocityFactor; }
    float GetDuration() const override { return duration; }
    bool IsTimeInRange(float t) const override { return t >= 0.0f && t < duration; }
    std::string ToString() const override { return "PathElementJointSet"; }
    void Init(const DataTypes::RobotState& target, float velocity, float startVelocity, float endVelocity,
              float accelerationFactor, float unused1, float unused2) override;
    void PrepareGeometry(DataTypes::RobotState& start, float distStart, float distEnd,
                         DataTypes::RobotState& end) override;

    int jointCount = 9;
    PathBasicCurve profiles[9];
    float duration = 1.0f;  // ms
    float jointDistance = 0.0f;
    DataTypes::VectorN startJoints{9};
    DataTypes::VectorN endJoints{9};
    DataTypes::VectorN jointSigns{9};
    int leadingProfile = 0;
};

}  // namespace Programs
