#pragma once
// Cartesian blend: Bezier curves for the tool position, the tool's x and z
// axes and the external axes. Its speed changes linearly in the curve
// parameter from the first segment's to the second's; a table built at
// planning time turns time into the curve parameter.

#include "PkgProgram/PathElementSplineBase.h"
#include "datatypes/BezierCasteljau.h"
#include "datatypes/Vector3.h"

namespace Programs {

// Square root of the sum of squares of nine values.
float Magnitude(const float* values);

class PathElementSpline : public PathElementSplineBase {
public:
    PathElementSpline(int commandIndex, int successorIndex);

    void InitSpline(const DataTypes::RobotState& start, const DataTypes::RobotState& corner,
                    const DataTypes::RobotState& end, float velocity, float startVelocity, float endVelocity,
                    float unused1, float unused2, float unused3) override;
    // A cubic blend for the position (next to arcs); the orientation and external axes
    // follow the quadratic through the first inner state.
    void InitSpline(const DataTypes::RobotState& start, const DataTypes::RobotState& inner1,
                    const DataTypes::RobotState& inner2, const DataTypes::RobotState& end, float velocity,
                    float startVelocity, float endVelocity, float unused1, float unused2, float unused3);
    std::string GetType() const override { return "Spline"; }
    void PrepareAcceleration() override;
    GetPositionResult GetPosition(float t, DataTypes::RobotState& out) const override;
    float GetVel() const override;
    float GetDuration() const override { return static_cast<float>(duration); }
    bool IsTimeInRange(float t) const override { return t >= 0.0f && static_cast<double>(t) < duration; }
    std::string ToString() const override;
    void CreateLookUpTable(double* durationOut, double* lengthOut);
    float GetVelOnSpline(float u) const;

    DataTypes::BezierCasteljau positionCurve{3};
    DataTypes::BezierCasteljau xAxisCurve{3};
    DataTypes::BezierCasteljau zAxisCurve{3};
    DataTypes::BezierCasteljau externalCurve{3};
    double length = 50.0;
    double duration = 1.0;  // ms
    DataTypes::Vector3 positions[4];
    DataTypes::Vector3 xAxes[4];
    DataTypes::Vector3 zAxes[4];
    DataTypes::Vector3 externalValues[4];

private:
    void Store(int index, const DataTypes::RobotState& state);
    // The position curve gets points 0 to 3 (cubic) or 0, 1, 3; the others always 0, 1, 3.
    void AppendPoints(bool cubicPosition, float velocity, float startVelocity, float endVelocity);
};

}  // namespace Programs
