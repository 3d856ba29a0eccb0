#include "controller/JogAccelControlJoint.h"

#include <cmath>

#include "controller/JogRampStep.h"

using JogRamp::IsUsableRate;
using JogRamp::StepToward;

JogAccelControlJoint::JogAccelControlJoint() {
    for (int i = 0; i < Joints; ++i) {
        acceleration[i] = 45.0;
        fastDeceleration[i] = 180.0;
        current[i] = 0.0;
    }
}

void JogAccelControlJoint::Init(bool isActive, int cycleMs, const float newAcceleration[Joints],
                                const float newFastDeceleration[Joints]) {
    active = isActive;
    if (cycleMs > 0) cycleSeconds = cycleMs / 1000.0;
    for (int i = 0; i < Joints; ++i) {
        if (IsUsableRate(newAcceleration[i])) acceleration[i] = newAcceleration[i];
        if (IsUsableRate(newFastDeceleration[i])) fastDeceleration[i] = newFastDeceleration[i];
    }
}

void JogAccelControlJoint::Reset() {
    for (double& value : current) value = 0.0;
}

void JogAccelControlJoint::SetTargetVel(const double target[Joints], double out[Joints]) {
    if (!active) {
        for (int i = 0; i < Joints; ++i) out[i] = target[i];
        return;
    }
    double sum = 0.0;
    for (int i = 0; i < Joints; ++i) sum += std::fabs(target[i]);
    const bool letGo = sum == 0.0;
    for (int i = 0; i < Joints; ++i) {
        const double rate = letGo ? fastDeceleration[i] : acceleration[i];
        current[i] = StepToward(current[i], target[i], cycleSeconds * rate);
        out[i] = current[i];
    }
}

double JogAccelControlJoint::GetAcceleration(int joint) const {
    return joint >= 0 && joint < Joints ? acceleration[joint] : 0.0;
}

double JogAccelControlJoint::GetFastDeceleration(int joint) const {
    return joint >= 0 && joint < Joints ? fastDeceleration[joint] : 0.0;
}
