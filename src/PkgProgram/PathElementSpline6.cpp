#include "PkgProgram/PathElementSpline6.h"

#include <cmath>

#include "PkgProgram/PathElementSpline.h"
#include "common/LogSingleton.h"
#include "datatypes/RobotState.h"

namespace Programs {

PathElementSpline6::PathElementSpline6(int commandIndex, int successorIndex)
    : PathElementSplineBase(commandIndex, successorIndex) {}

void PathElementSpline6::InitSpline(const DataTypes::RobotState& start, const DataTypes::RobotState& corner,
                                    const DataTypes::RobotState& end, float velocity, float startVelocity,
                                    float endVelocity, float /*unused1*/, float /*unused2*/, float /*unused3*/) {
    startJoints = DataTypes::VectorN(9, start.jointSetPoint);
    cornerJoints = DataTypes::VectorN(9, corner.jointSetPoint);
    endJoints = DataTypes::VectorN(9, end.jointSetPoint);
    jointCurve.AddStartPoint(startJoints);
    jointCurve.AddStartPoint(cornerJoints);
    jointCurve.AddStartPoint(endJoints);
    velocityFactor = velocity;
    startVelocityFactor = startVelocity;
    endVelocityFactor = endVelocity;
}

void PathElementSpline6::PrepareAcceleration() {
    float d1[9];
    float d2[9];
    int a = 0;
    int b = 0;
    float longest1 = 0.0f;
    float longest2 = 0.0f;
    for (int j = 0; j < 9; ++j) {
        const unsigned u = static_cast<unsigned>(j);
        d1[j] = cornerJoints[u] - startJoints[u];
        entryVelocities[j] = startVelocityFactor * jointVelocityLimits[j] * signumLocal(d1[j]);
        d2[j] = endJoints[u] - cornerJoints[u];
        exitVelocities[j] = endVelocityFactor * jointVelocityLimits[j] * signumLocal(d2[j]);
        if (std::fabs(d1[j]) > longest1) {
            longest1 = std::fabs(d1[j]);
            a = j;
        }
        if (std::fabs(d2[j]) > longest2) {
            longest2 = std::fabs(d2[j]);
            b = j;
        }
    }
    for (int j = 0; j < 9; ++j) {
        if (std::fabs(d1[a]) > 0.0f) entryVelocities[j] *= std::fabs(d1[j] / d1[a]);
        if (std::fabs(d2[b]) > 0.0f) exitVelocities[j] *= std::fabs(d2[j] / d2[b]);
        if (joinVelocitiesSet) {
            entryVelocities[j] = joinIn[j];
            exitVelocities[j] = joinOut[j];
        }
    }
    entrySpeed = Magnitude(entryVelocities);
    exitSpeed = Magnitude(exitVelocities);
    CreateLookUpTable(&duration, &length);
    if (debug) {
        LogSingleton* log = LogSingleton::instance();
        log->add("");
        log->addFormat("Spline Start %s  --  Mid %s  --  End %s", startJoints.ToString(2), cornerJoints.ToString(2),
                       endJoints.ToString(2));
        log->addFormat("Spline veloc %.2f  --  Mid %.2f  --  End %.2f", startVelocityFactor, velocityFactor,
                       endVelocityFactor);
        log->addFormat("Spline velIn %.2f  --  velOut %.2f", entrySpeed, exitSpeed);
        log->addFormat("Spline length %.2f  --  Duration %.2f", length, duration);
        log->add("");
    }
}

void PathElementSpline6::SetJoinVelocities(const float* in, const float* out) {
    for (int j = 0; j < 9; ++j) {
        joinIn[j] = in[j];
        joinOut[j] = out[j];
    }
    joinVelocitiesSet = true;
}

void PathElementSpline6::CreateLookUpTable(double* durationOut, double* lengthOut) {
    BuildLookUpTable(jointCurve, [this](float u) { return GetVelOnSpline(u); }, durationOut, lengthOut);
}

float PathElementSpline6::GetVelOnSpline(float u) const {
    const double w = u > 1.0f ? 1.0 : static_cast<double>(u);
    return static_cast<float>((1.0 - w) * entrySpeed + w * exitSpeed);
}

PathElement::GetPositionResult PathElementSpline6::GetPosition(float t, DataTypes::RobotState& out) const {
    const bool inRange = IsTimeInRange(t);
    jointCurve.Interpolate(ParameterAt(t, inRange, jointCurve, 9), out.jointSetPoint);
    return inRange ? InRange : OutOfRange;
}

std::string PathElementSpline6::ToString() const {
    return "PathElementSpline6 from " + startJoints.ToString(2) + " to " + endJoints.ToString(2);
}

}  // namespace Programs
