#pragma once
// A blend element: replaces the corner between two main elements.

#include <functional>

#include "PkgProgram/PathElement.h"

namespace DataTypes {
class BezierCasteljau;
class RobotState;
}

namespace Programs {

class PathElementSplineBase : public PathElement {
public:
    PathElementSplineBase(int commandIndex, int successorIndex) : PathElement(commandIndex, successorIndex) {}

    // Only the first three values are read: the velocity and the speeds at the two ends.
    virtual void InitSpline(const DataTypes::RobotState& start, const DataTypes::RobotState& corner,
                            const DataTypes::RobotState& end, float velocity, float startVelocity, float endVelocity,
                            float unused1, float unused2, float unused3) = 0;

protected:
    // Walks the curve in 5 ms steps at the speed given per curve parameter, filling the
    // look-up table; returns the duration (ms) and the length walked.
    void BuildLookUpTable(const DataTypes::BezierCasteljau& curve, const std::function<float(float)>& speedAt,
                          double* durationOut, double* lengthOut);
    // Curve parameter at t ms: 1 outside the element or past the table; inside a row the
    // curve is walked at even speed.
    float ParameterAt(float t, bool inRange, const DataTypes::BezierCasteljau& curve, int dimension) const;
};

}  // namespace Programs
