#include "controller/JogAccelControlCart.h"

#include <cmath>

#include "controller/JogRampStep.h"

using JogRamp::IsUsableRate;
using JogRamp::StepToward;

void JogAccelControlCart::Init(bool isActive, int cycleMs, double newLinearAcceleration,
                               double newLinearFastDeceleration, double newOrientationAcceleration,
                               double newOrientationFastDeceleration) {
    active = isActive;
    if (cycleMs > 0) cycleSeconds = cycleMs / 1000.0;
    if (IsUsableRate(newLinearAcceleration)) linearAcceleration = newLinearAcceleration;
    if (IsUsableRate(newLinearFastDeceleration)) linearFastDeceleration = newLinearFastDeceleration;
    if (IsUsableRate(newOrientationAcceleration)) orientationAcceleration = newOrientationAcceleration;
    if (IsUsableRate(newOrientationFastDeceleration)) orientationFastDeceleration = newOrientationFastDeceleration;
}

void JogAccelControlCart::Reset() {
    currentLinear = 0.0;
    currentOrientation = 0.0;
}

void JogAccelControlCart::SetTargetVel(double linearTarget, double orientationTarget, double* linearOut,
                                       double* orientationOut) {
    if (!active) {
        if (linearOut != nullptr) *linearOut = linearTarget;
        if (orientationOut != nullptr) *orientationOut = orientationTarget;
        return;
    }
    const bool letGo = std::fabs(linearTarget) + std::fabs(orientationTarget) == 0.0;
    currentLinear = StepToward(currentLinear, linearTarget,
                               cycleSeconds * (letGo ? linearFastDeceleration : linearAcceleration));
    currentOrientation = StepToward(currentOrientation, orientationTarget,
                                    cycleSeconds * (letGo ? orientationFastDeceleration : orientationAcceleration));
    if (linearOut != nullptr) *linearOut = currentLinear;
    if (orientationOut != nullptr) *orientationOut = currentOrientation;
}
