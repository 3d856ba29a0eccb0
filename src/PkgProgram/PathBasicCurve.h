#pragma once
// A complete velocity profile over one distance: acceleration, constant and
// deceleration phase, starting and ending either at rest or at cruise.

#include <string>

#include "PkgProgram/PathBasicCurveAcc.h"
#include "PkgProgram/PathBasicCurveConst.h"

namespace Programs {

class PathBasicCurve {
public:
    PathBasicCurve();

    // Plans the phases from Vel, VelStart, VelEnd, Acc, AccInc and Length. A start or end
    // velocity other than 0 or Vel throws std::runtime_error; inputs that cannot plan a
    // motion (not above 0, not finite) throw std::invalid_argument.
    void PrepareAcceleration();
    // Unscaled duration of the three phases.
    float GetDurationInMs() const;
    // Distance at t ms, the time scaled by AdaptToDuration.
    float GetValue(float t) const;
    // Stretches the profile to end at `duration` ms; a shorter duration throws std::invalid_argument.
    void AdaptToDuration(float duration);
    void SetDebugFlag(bool flag);
    virtual std::string ToString() const;

    bool debug = false;
    float Vel = 0.5f;
    float VelStart = 0.0f;
    float VelEnd = 0.0f;
    float velocityReached = 0.0f;
    float Acc = 100.0f;
    float AccInc = 300.0f;
    float Length = 0.0f;
    PathBasicCurveAcc accelerationPhase;
    PathBasicCurveConst constantPhase;
    PathBasicCurveAcc decelerationPhase;
    float scale = 1.0f;
};

}  // namespace Programs
