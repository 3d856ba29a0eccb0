#include "PkgProgram/PathElementSpline.h"

#include <algorithm>
#include <cmath>

#include "common/LogSingleton.h"
#include "datatypes/RobotState.h"

namespace Programs {

float Magnitude(const float* values) {
    float sum = 0.0f;
    for (int i = 0; i < 9; ++i) sum += values[i] * values[i];
    return std::sqrt(sum);
}

PathElementSpline::PathElementSpline(int commandIndex, int successorIndex)
    : PathElementSplineBase(commandIndex, successorIndex) {}

void PathElementSpline::Store(int index, const DataTypes::RobotState& state) {
    positions[index] = state.pose.GetTranslation();
    xAxes[index] = state.pose.GetColumnVector(0);
    zAxes[index] = state.pose.GetColumnVector(2);
    externalValues[index] = DataTypes::Vector3(state.jointSetPoint[6], state.jointSetPoint[7], state.jointSetPoint[8]);
}

void PathElementSpline::InitSpline(const DataTypes::RobotState& start, const DataTypes::RobotState& corner,
                                   const DataTypes::RobotState& end, float velocity, float startVelocity,
                                   float endVelocity, float /*unused1*/, float /*unused2*/, float /*unused3*/) {
    Store(0, start);
    Store(1, corner);
    Store(3, end);
    AppendPoints(false, velocity, startVelocity, endVelocity);
}

void PathElementSpline::InitSpline(const DataTypes::RobotState& start, const DataTypes::RobotState& inner1,
                                   const DataTypes::RobotState& inner2, const DataTypes::RobotState& end,
                                   float velocity, float startVelocity, float endVelocity, float /*unused1*/,
                                   float /*unused2*/, float /*unused3*/) {
    Store(0, start);
    Store(1, inner1);
    Store(2, inner2);
    Store(3, end);
    AppendPoints(true, velocity, startVelocity, endVelocity);
}

void PathElementSpline::AppendPoints(bool cubicPosition, float velocity, float startVelocity, float endVelocity) {
    if (cubicPosition) {
        for (int i = 0; i < 4; ++i) positionCurve.AddStartPoint(positions[i]);
    }
    for (int i : {0, 1, 3}) {
        if (!cubicPosition) positionCurve.AddStartPoint(positions[i]);
        xAxisCurve.AddStartPoint(xAxes[i]);
        zAxisCurve.AddStartPoint(zAxes[i]);
        externalCurve.AddStartPoint(externalValues[i]);
    }
    velocityFactor = velocity;
    startVelocityFactor = startVelocity;
    endVelocityFactor = endVelocity;
}

void PathElementSpline::PrepareAcceleration() {
    if (debug) {
        LogSingleton* log = LogSingleton::instance();
        log->add("");
        log->addFormat("Spline Start %.2f  --  Mid %.2f  --  End %.2f", positions[0].x, positions[1].x, positions[3].x);
        log->addFormat("Spline veloc %.2f  --  Mid %.2f  --  End %.2f", startVelocityFactor, velocityFactor,
                       endVelocityFactor);
        log->add("");
    }
    CreateLookUpTable(&duration, &length);
}

void PathElementSpline::CreateLookUpTable(double* durationOut, double* lengthOut) {
    BuildLookUpTable(positionCurve, [this](float u) { return GetVelOnSpline(u); }, durationOut, lengthOut);
}

float PathElementSpline::GetVelOnSpline(float u) const {
    const double w = u > 1.0f ? 1.0 : static_cast<double>(u);
    return static_cast<float>((1.0 - w) * startVelocityFactor + endVelocityFactor * w);
}

PathElement::GetPositionResult PathElementSpline::GetPosition(float t, DataTypes::RobotState& out) const {
    const bool inRange = IsTimeInRange(t);
    const float u = ParameterAt(t, inRange, positionCurve, 3);
    float p[3];
    float x[3];
    float z[3];
    float e[3];
    positionCurve.Interpolate(u, p);
    xAxisCurve.Interpolate(u, x);
    zAxisCurve.Interpolate(u, z);
    externalCurve.Interpolate(u, e);
    DataTypes::Vector3 xa(x[0], x[1], x[2]);
    DataTypes::Vector3 za(z[0], z[1], z[2]);
    xa.Normalize();
    za.Normalize();
    DataTypes::Vector3 ya = DataTypes::Vector3::Cross(za, xa);
    ya.Normalize();
    xa = DataTypes::Vector3::Cross(ya, za);
    xa.Normalize();
    out.pose.SetColumnVector(0, xa);
    out.pose.SetColumnVector(1, ya);
    out.pose.SetColumnVector(2, za);
    out.pose.SetTranslation(p[0], p[1], p[2]);
    out.UpdateABC();
    for (int i = 0; i < 3; ++i) out.jointSetPoint[6 + i] = e[i];
    return inRange ? InRange : OutOfRange;
}

float PathElementSpline::GetVel() const { return std::max(startVelocityFactor, endVelocityFactor); }

std::string PathElementSpline::ToString() const {
    return "PathElementSpline from " + positions[0].ToString() + " to " + positions[3].ToString();
}

}  // namespace Programs
