#include "PkgProgram/PathBasicCurve.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "common/LogSingleton.h"

namespace Programs {

PathBasicCurve::PathBasicCurve() { decelerationPhase.decelerate = true; }

void PathBasicCurve::PrepareAcceleration() {
    LogSingleton* log = LogSingleton::instance();
    if (debug) {
        log->add("");
        log->add("PathBasicCurve - PrepareAcceleration");
        log->addFormat("Length %.2f", Length);
        log->addFormat("Vel  %.2f VelStart %.2f VelEnd %.2f", Vel, VelStart, VelEnd);
        log->addFormat("Acc  %.2f AccInc %.2f", Acc, AccInc);
        log->add("");
    }
    if (std::fabs(static_cast<double>(Length)) < 0.01) {
        if (debug) log->add("PathBasicCurve::PrepareAcceleration - Element with length < 0.01 units");
        return;
    }
    // A moving profile needs a velocity and a finite distance ahead of it, or its times become NaN.
    if (!(Vel > 0.0f) || !std::isfinite(Vel) || !(Length > 0.0f) || !std::isfinite(Length))
        throw std::invalid_argument("PathBasicCurve: velocity must be above 0 and the length finite");

    // Phases are planned on copies: a failure leaves the curve as it was.
    auto plan = [this](PathBasicCurveAcc phase, float velocity, float maxLength, bool decelerate) {
        phase.velSetPoint = velocity;
        phase.acc = Acc;
        phase.accInc = AccInc;
        phase.maxLength = maxLength;
        phase.decelerate = decelerate;
        phase.PrepareAcceleration();
        return phase;
    };
    if (VelStart == 0.0f && VelEnd == 0.0f) {
        const PathBasicCurveAcc acc = plan(accelerationPhase, Vel, Length / 2.0f, false);
        const PathBasicCurveAcc dec = plan(decelerationPhase, acc.velocityReached, Length / 2.0f, true);
        accelerationPhase = acc;
        decelerationPhase = dec;
        velocityReached = acc.velocityReached;
        constantPhase.velocity = velocityReached;
        constantPhase.length = Length - acc.lengthReached - dec.lengthReached;
        constantPhase.PrepareAcceleration();
    } else if (VelStart == 0.0f && VelEnd == Vel) {
        accelerationPhase = plan(accelerationPhase, Vel, Length, false);
        velocityReached = accelerationPhase.velocityReached;
        constantPhase.velocity = velocityReached;
        constantPhase.length = Length - accelerationPhase.lengthReached;
        constantPhase.PrepareAcceleration();
    } else if (VelStart == Vel && VelEnd == 0.0f) {
        decelerationPhase = plan(decelerationPhase, Vel, Length, true);
        velocityReached = decelerationPhase.velocityReached;
        constantPhase.velocity = velocityReached;
        constantPhase.length = Length - decelerationPhase.lengthReached;
        constantPhase.PrepareAcceleration();
    } else if (VelStart == Vel && VelEnd == Vel) {
        constantPhase.velocity = Vel;
        constantPhase.length = Length;
        constantPhase.PrepareAcceleration();
        velocityReached = Vel;
    } else {
        log->add("PathBasicCurve::PrepareAcceleration: Not planned element sequence!");
        throw std::runtime_error("PathBasicCurve: not planned motion type!");
    }
}

float PathBasicCurve::GetDurationInMs() const {
    return accelerationPhase.GetDurationInMs() + constantPhase.GetDurationInMs() + decelerationPhase.GetDurationInMs();
}

float PathBasicCurve::GetValue(float t) const {
    const float ts = t * scale;
    const float dA = accelerationPhase.GetDurationInMs();
    const float dC = constantPhase.GetDurationInMs();
    const float dD = decelerationPhase.GetDurationInMs();
    float s;
    if (ts >= dA + dC + dD) {
        s = Length;
    } else if (ts >= dA + dC) {
        s = accelerationPhase.lengthReached + constantPhase.length + decelerationPhase.GetValue(ts - dA - dC);
    } else if (ts >= dA) {
        s = accelerationPhase.lengthReached + constantPhase.GetValue(ts - dA);
    } else if (ts >= 0.0f) {
        s = accelerationPhase.GetValue(ts);
    } else {
        s = 0.0f;
    }
    if (debug) LogSingleton::instance()->addFormat("Curve: t=%.2f, pos=%.2f", ts, s);
    return s;
}

void PathBasicCurve::AdaptToDuration(float d) {
    const float cur = GetDurationInMs();
    if (d < cur) {
        LogSingleton::instance()->add(
            "JointElementSingle: Duration to adapt to is smaller then current duration! Cannot accelerate motion!");
        throw std::invalid_argument("JointElementSingle: Illegal acceleration requested!");
    }
    scale = cur == 0.0f ? 1.0f : cur / d;
    if (debug) LogSingleton::instance()->addFormat("Scale set to %.2f, new duration is %.2f ms", scale, d);
}

void PathBasicCurve::SetDebugFlag(bool flag) {
    debug = flag;
    accelerationPhase.debug = flag;
    constantPhase.debug = flag;
    decelerationPhase.debug = flag;
}

std::string PathBasicCurve::ToString() const {
    char text[160];
    std::snprintf(text, sizeof(text), "PathBasicCurve from 0 to %.2f with %.2f units/s in %.2f ms",
                  static_cast<double>(Length), static_cast<double>(velocityReached * scale),
                  static_cast<double>(GetDurationInMs()));
    return text;
}

}  // namespace Programs
