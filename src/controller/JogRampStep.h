#pragma once
// The step shared by the joint and Cartesian jog ramps.

#include <cmath>

namespace JogRamp {

// Rates and accelerations from configuration: only finite, positive ones are taken.
inline bool IsUsableRate(double rate) { return std::isfinite(rate) && rate > 0.0; }

// One cycle toward the target, never past it.
inline double StepToward(double current, double target, double step) {
    if (target > current) {
        current += step;
        if (current > target) current = target;
    } else if (target < current) {
        current -= step;
        if (current < target) current = target;
    }
    return current;
}

}  // namespace JogRamp
