#include "PkgProgram/PathElementSupport.h"

#include <cmath>

#include "common/LogSingleton.h"

namespace Programs {
namespace ElementSupport {

namespace {

void Turn(DataTypes::Matrix44& pose, const DataTypes::Vector3& axis, float angle) {
    // A turn too small to give a unit axis is no turn.
    if (std::fabs(angle) < 0.0001f || std::fabs(axis.MagnitudeQ() - 1.0f) > 0.0001f) return;
    pose.RotateAxisAngle(axis, angle);
}

}  // namespace

DataTypes::Matrix44 Rotation(const DataTypes::Matrix44& pose) {
    DataTypes::Matrix44 r = pose;
    r.SetTranslation(0.0f, 0.0f, 0.0f);
    return r;
}

void InitMain(const PathElement& element, const DataTypes::RobotState& target, DataTypes::RobotState& endState,
              float* externalEnd, PathBasicCurve* profiles, float velocity, float startVelocity, float endVelocity,
              float accelerationFactor) {
    endState = target;
    for (int i = 0; i < 3; ++i) externalEnd[i] = target.jointSetPoint[6 + i];
    InitProfiles(element, profiles, velocity, startVelocity, endVelocity, accelerationFactor);
}

void LimitCuts(float length, float& distStart, float& distEnd, float& fStart, float& fEnd, bool debug) {
    LogSingleton* log = LogSingleton::instance();
    if (length / 3.0f < distStart) {
        if (debug) log->addFormat("Limiting SplineCut distStart from %f to %f", distStart, length / 3.0f);
        distStart = length / 3.0f;
    }
    if (length / 3.0f < distEnd) {
        if (debug) log->addFormat("Limiting SplineCut distEnd from %f to %f", distEnd, length / 3.0f);
        distEnd = length / 3.0f;
    }
    fStart = 0.0f;
    fEnd = 0.0f;
    if (length > 0.001f) {
        fStart = distStart / length;
        fEnd = distEnd / length;
    }
}

void PrepareWithLog(const Motion& m, bool debug, const char* name, const DataTypes::RobotState& start,
                    const DataTypes::RobotState& end) {
    for (int k = 0; k < 5; ++k) {
        m.profiles[k].PrepareAcceleration();
        m.durations[k] = m.profiles[k].GetDurationInMs();
    }
    if (!debug) return;
    LogSingleton* log = LogSingleton::instance();
    log->add("");
    log->addFormat("%s from %s to %s", name, start.pose.GetTranslation().ToString(), end.pose.GetTranslation().ToString());
    log->add(m.profiles[0].ToString());
    log->add("");
}

void InitProfiles(const PathElement& e, PathBasicCurve* profiles, float velocity, float startVelocity,
                  float endVelocity, float accelerationFactor) {
    PathBasicCurve& t = profiles[0];
    t.Vel = velocity;
    t.VelStart = startVelocity;
    t.VelEnd = endVelocity;
    t.Acc = e.cartAcceleration * accelerationFactor;
    t.AccInc = e.cartJerk * accelerationFactor;
    const float sStart = PathElement::signumLocal(startVelocity);
    const float sEnd = PathElement::signumLocal(endVelocity);
    PathBasicCurve& o = profiles[1];
    o.Vel = e.oriVelocity;
    o.Acc = e.oriAcceleration * accelerationFactor;
    o.AccInc = e.oriJerk * accelerationFactor;
    o.VelStart = e.oriVelocity * sStart;
    o.VelEnd = e.oriVelocity * sEnd;
    for (int i = 0; i < 3; ++i) {
        PathBasicCurve& x = profiles[2 + i];
        x.Vel = e.jointVelocityLimits[6 + i];
        x.Acc = e.jointAccelerationLimits[6 + i] * accelerationFactor;
        x.AccInc = e.jointJerkLimits[6 + i] * accelerationFactor;
        x.VelStart = x.Vel * sStart;
        x.VelEnd = x.Vel * sEnd;
    }
}

float NominalDuration(float length, float velocity) { return length == 0.0f ? 0.0f : length * 1000.0f / velocity; }

void MeasureOrientationAndExternal(const DataTypes::RobotState& start, const DataTypes::RobotState& end,
                                   const Motion& m) {
    for (int i = 0; i < 3; ++i) m.externalStart[i] = start.jointSetPoint[6 + i];
    m.rotationAngle = 0.0f;
    // Rotation block of End x Start^-1 (the library's product reads right to left).
    const DataTypes::Matrix44 r = Rotation(start.pose).Inverse() * Rotation(end.pose);
    r.GetAxisAngle(&m.rotationAxis, &m.rotationAngle);
    m.lengths[1] = m.rotationAngle;
    m.durations[1] = NominalDuration(m.lengths[1], m.profiles[1].Vel);
    for (int i = 0; i < 3; ++i) {
        const float d = m.externalEnd[i] - m.externalStart[i];
        m.lengths[2 + i] = std::fabs(d);
        m.externalSign[i] = PathElement::signumLocal(d);
        m.durations[2 + i] = NominalDuration(m.lengths[2 + i], m.profiles[2 + i].Vel);
    }
}

int Leading(const float* durations) {
    int leading = 0;
    float longest = 0.0f;
    for (int k = 0; k < 5; ++k) {
        if (durations[k] > longest) {
            longest = durations[k];
            leading = k;
        }
    }
    return leading;
}

void CutOrientationAndExternal(DataTypes::RobotState& start, DataTypes::RobotState& end,
                               const DataTypes::Vector3& pStart, const DataTypes::Vector3& pEnd, float fStart,
                               float fEnd, const Motion& m) {
    DataTypes::Matrix44 m1 = start.pose;
    Turn(m1, m.rotationAxis, fStart * m.rotationAngle);
    m.rotationAngle = m.rotationAngle * (1.0f - fStart - fEnd);
    m.lengths[1] = m.rotationAngle;
    DataTypes::Matrix44 m2 = m1;
    Turn(m2, m.rotationAxis, m.rotationAngle);
    m1.SetTranslation(pStart);
    m2.SetTranslation(pEnd);
    start.pose = m1;
    end.pose = m2;
    start.UpdateABC();
    end.UpdateABC();
    for (int i = 0; i < 3; ++i) {
        m.externalStart[i] += m.externalSign[i] * fStart * m.lengths[2 + i];
        m.externalEnd[i] -= m.externalSign[i] * fEnd * m.lengths[2 + i];
        m.lengths[2 + i] = m.lengths[2 + i] * (1.0f - fStart - fEnd);
        start.jointSetPoint[6 + i] = m.externalStart[i];
        end.jointSetPoint[6 + i] = m.externalEnd[i];
    }
    for (int k = 0; k < 5; ++k) m.profiles[k].Length = m.lengths[k];
}

float Progress(const PathBasicCurve& leading, float length, float t, bool inRange) {
    if (!inRange || length == 0.0f) return 1.0f;
    return leading.GetValue(t) / length;
}

void SampleOrientationAndExternal(const DataTypes::RobotState& startState, const DataTypes::Vector3& rotationAxis,
                                  float rotationAngle, const float* externalStart, const float* externalSign,
                                  const PathBasicCurve* profiles, float f, const DataTypes::Vector3& position,
                                  DataTypes::RobotState& out) {
    DataTypes::Matrix44 pose = startState.pose;
    Turn(pose, rotationAxis, rotationAngle * f);
    pose.SetTranslation(position);
    out.pose = pose;
    out.UpdateABC();
    for (int i = 0; i < 3; ++i)
        out.jointSetPoint[6 + i] = externalStart[i] + externalSign[i] * profiles[2 + i].Length * f;
}

void WriteEnd(const DataTypes::RobotState& endState, DataTypes::RobotState& out) {
    out.pose = endState.pose;
    out.A = endState.A;
    out.B = endState.B;
    out.C = endState.C;
    for (int i = 6; i < 9; ++i) out.jointSetPoint[i] = endState.jointSetPoint[i];
}

float PathVelocity(const PathBasicCurve* profiles, const float* durations, int leading) {
    const float d = durations[leading];
    if (d <= 0.0001f) return 0.0f;
    return profiles[0].velocityReached * durations[0] / d;
}

}  // namespace ElementSupport
}  // namespace Programs
