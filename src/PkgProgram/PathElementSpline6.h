#pragma once
// Joint-space blend: one Bezier curve through the nine joints.

#include "PkgProgram/PathElementSplineBase.h"
#include "datatypes/BezierCasteljau.h"
#include "datatypes/VectorN.h"

namespace Programs {

class PathElementSpline6 : public PathElementSplineBase {
public:
    PathElementSpline6(int commandIndex, int successorIndex);

    void InitSpline(const DataTypes::RobotState& start, const DataTypes::RobotState& corner,
                    const DataTypes::RobotState& end, float velocity, float startVelocity, float endVelocity,
                    float unused1, float unused2, float unused3) override;
    std::string GetType() const override { return "Spline"; }
    void PrepareAcceleration() override;
    GetPositionResult GetPosition(float t, DataTypes::RobotState& out) const override;
    float GetVel() const override { return velocityFactor; }
    float GetDuration() const override { return static_cast<float>(duration); }
    bool IsTimeInRange(float t) const override { return t >= 0.0f && static_cast<double>(t) < duration; }
    std::string ToString() const override;
    void CreateLookUpTable(double* durationOut, double* lengthOut);
    // The joints' velocities (units per second) where the blend meets the elements it joins. Once
    // set they replace those made from the velocity factors, which lead every joint by the one
    // that moves farthest rather than by the one the element's time follows.
    void SetJoinVelocities(const float* in, const float* out);
    float GetVelOnSpline(float u) const;

    DataTypes::BezierCasteljau jointCurve{9};
    double length = 50.0;
    double duration = 1.0;  // ms
    float entryVelocities[9] = {};
    float exitVelocities[9] = {};
    double entrySpeed = 0.0;
    double exitSpeed = 0.0;
    bool joinVelocitiesSet = false;
    float joinIn[9] = {};
    float joinOut[9] = {};
    DataTypes::VectorN startJoints{9};
    DataTypes::VectorN cornerJoints{9};
    DataTypes::VectorN endJoints{9};
};

}  // namespace Programs
