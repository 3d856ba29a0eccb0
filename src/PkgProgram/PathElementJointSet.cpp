#include "PkgProgram/PathElementJointSet.h"

#include <cmath>

#include "common/LogSingleton.h"
#include "datatypes/RobotState.h"

namespace Programs {

PathElementJointSet::PathElementJointSet(int commandIndex, int successorIndex)
    : PathElementMainBase(commandIndex, successorIndex) {}

void PathElementJointSet::Init(const DataTypes::RobotState& target, float velocity, float startVelocity,
                               float endVelocity, float accelerationFactor, float /*unused1*/, float /*unused2*/) {
    for (int j = 0; j < 9; ++j) endJoints[static_cast<unsigned>(j)] = target.jointSetPoint[j];
    velocityFactor = velocity;
    startVelocityFactor = startVelocity;
    endVelocityFactor = endVelocity;
    for (int j = 0; j < 9; ++j) {
        PathBasicCurve& p = profiles[j];
        p.SetDebugFlag(false);
        p.Vel = jointVelocityLimits[j] * velocity;
        p.VelStart = jointVelocityLimits[j] * startVelocity;
        p.VelEnd = jointVelocityLimits[j] * endVelocity;
        p.Acc = jointAccelerationLimits[j] * accelerationFactor;
        p.AccInc = jointJerkLimits[j];
    }
}

void PathElementJointSet::PrepareGeometry(DataTypes::RobotState& start, float distStart, float distEnd,
                                          DataTypes::RobotState& end) {
    LogSingleton* log = LogSingleton::instance();
    for (int j = 0; j < 9; ++j) startJoints[static_cast<unsigned>(j)] = start.jointSetPoint[j];
    DataTypes::VectorN direction = endJoints - startJoints;
    if (debug)
        log->addFormat("PathElementJointSet from %s  to %s", startJoints.ToString(2), endJoints.ToString(2));
    jointDistance = static_cast<float>(direction.Magnitude());
    // Joints already at their targets have no direction to go.
    if (jointDistance > 0.0f) direction.Normalize();
    if (jointDistance / 3.0f < distStart) {
        if (debug) log->addFormat("Limiting JointSplineCut distStart from %.2f to %.2f", distStart, jointDistance / 3.0f);
        distStart = jointDistance / 3.0f;
    }
    if (jointDistance / 3.0f < distEnd) {
        if (debug) log->addFormat("Limiting JointSplineCut distEnd from %.2f to %.2f", distEnd, jointDistance / 3.0f);
        distEnd = jointDistance / 3.0f;
    }
    startJoints += direction * distStart;
    endJoints -= direction * distEnd;
    if (debug) {
        log->addFormat("PathElementJointSet from %s  to %s", startJoints.ToString(2), endJoints.ToString(2));
        log->addFormat("PathElementJointSet Smoothing: before %.2f, after %.2f", distStart, distEnd);
    }
    end = start;
    for (int j = 0; j < 9; ++j) {
        start.jointSetPoint[j] = startJoints[static_cast<unsigned>(j)];
        end.jointSetPoint[j] = endJoints[static_cast<unsigned>(j)];
    }
    direction = endJoints - startJoints;
    jointDistance = static_cast<float>(direction.Magnitude());
    for (int j = 0; j < jointCount; ++j) {
        const unsigned u = static_cast<unsigned>(j);
        profiles[j].Length = std::fabs(direction[u]);
        jointSigns[u] = direction[u] < 0.0f ? -1.0f : 1.0f;
    }
}

void PathElementJointSet::PrepareAcceleration() {
    duration = 0.0f;
    leadingProfile = 0;
    for (int j = 0; j < jointCount; ++j) {
        profiles[j].PrepareAcceleration();
        const float d = std::fabs(profiles[j].GetDurationInMs());
        if (d > duration) {
            duration = d;
            leadingProfile = j;
        }
    }
    if (debug) {
        LogSingleton* log = LogSingleton::instance();
        log->add("");
        log->addFormat("Joint IPO values, duration %.1f ms", duration);
        for (int j = 0; j < jointCount; ++j) log->add(profiles[j].ToString());
        log->add("");
    }
}

PathElement::GetPositionResult PathElementJointSet::GetPosition(float t, DataTypes::RobotState& out) const {
    const bool inRange = IsTimeInRange(t);
    const PathBasicCurve& lead = profiles[leadingProfile];
    const float f = inRange && lead.Length != 0.0f ? lead.GetValue(t) / lead.Length : 1.0f;
    for (int j = 0; j < jointCount; ++j) {
        const unsigned u = static_cast<unsigned>(j);
        out.jointSetPoint[j] = inRange ? startJoints[u] + jointSigns[u] * profiles[j].Length * f : endJoints[u];
    }
    return inRange ? InRange : OutOfRange;
}

}  // namespace Programs
