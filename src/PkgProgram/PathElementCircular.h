#pragma once
// An arc of a circle through three points, with the orientation and the
// external axes moving along as on a line.

#include <memory>

#include "PkgProgram/CircleParameters.h"
#include "PkgProgram/PathBasicCurve.h"
#include "PkgProgram/PathElementMainBase.h"
#include "datatypes/RobotState.h"

namespace Programs {

class PathElementCircular : public PathElementMainBase {
public:
    PathElementCircular(int commandIndex, int successorIndex, std::shared_ptr<const CircleParameters> circle);

    std::string GetType() const override { return "Circular"; }
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

    std::shared_ptr<const CircleParameters> circle;
    double startAngle = 0.0;  // rad
    double endAngle = 0.0;
    int leadingProfile = 0;
    PathBasicCurve profiles[5];
    float lengths[5] = {};
    float durations[5] = {};
    float externalEnd[3] = {};
    float externalStart[3] = {};
    float externalSign[3] = {};
    DataTypes::RobotState startState;
    DataTypes::RobotState endState;
    DataTypes::Vector3 rotationAxis;
    float rotationAngle = 0.0f;  // degrees
};

}  // namespace Programs
