#include "PkgProgram/PathBasicCurveAcc.h"

#include <cmath>
#include <sstream>
#include <stdexcept>

#include "common/LogSingleton.h"

namespace Programs {

void PathBasicCurveAcc::PrepareAcceleration() {
    LogSingleton* log = LogSingleton::instance();
    if (debug)
        log->addFormat("PathBasicCurveAcc - PrepareAcceleration: from 0.0 to %.2f in max %.2f units. acc=%.2f, accInc=%.2f",
                       velSetPoint, maxLength, acc, accInc);
    const float j = accInc;
    const float V = velSetPoint;
    const float L = maxLength;
    if (j == 0.0f) throw std::invalid_argument("PathBasicCurveAcc: accInc must not be 0!");
    // Any of these turns the formulas below into NaN or a motion that never ends.
    if (!(V > 0.0f) || !(acc > 0.0f) || !(j > 0.0f) || !(L >= 0.0f) || !std::isfinite(V) || !std::isfinite(acc) ||
        !std::isfinite(j) || !std::isfinite(L))
        throw std::invalid_argument("PathBasicCurveAcc: velocity, acc and accInc must be above 0 and finite");

    accReached = acc;
    velocityReached = V;
    duration0 = accReached / j;
    vel0 = j * 0.5f * duration0 * duration0;

    if (2.0f * vel0 > V) {
        if (debug)
            log->addFormat("*********** Test1: 2.0f * v0 %.2f > velSetPoint %.2f ****************", 2.0f * vel0, V);
        duration0 = static_cast<float>(std::sqrt(static_cast<double>(V / j)));
        vel0 = V / 2.0f;
        accReached = duration0 * j;
        if (debug) log->addFormat("*********** Results: new acc %.2f, original acc %.2f", accReached, acc);
    }
    dv = velocityReached - 2.0f * vel0;
    duration1 = dv / accReached;
    ComputeAccValues();

    float tmpP2Inc = j * duration0 * duration0 * duration0;
    if (L < tmpP2Inc) {
        if (debug) log->addFormat("*********** Test2: tmpP2Inc %.2f > maxLength %.2f ****************", tmpP2Inc, L);
        const float old = duration0;
        duration0 = static_cast<float>(std::pow(static_cast<double>(L / j), 1.0 / 3.0));
        duration1 = 0.0f;
        accReached = duration0 * j;
        tmpP2Inc = j * duration0 * duration0 * duration0;
        ComputeAccValues();
        if (debug) {
            log->addFormat("Limiting duration0 from %.2f to %.2f", old, duration0);
            log->addFormat("*********** Results: new length %.2f in %.2f ms", tmpP2Inc, 2.0f * duration0 * 1000.0f);
        }
    } else if (p2 > L) {
        if (debug) log->addFormat("*********** Test3: p2 %.2f > maxLength %.2f ****************", p2, L);
        const float rest = L - tmpP2Inc;
        const float a = acc;
        const float w = vel0;
        const double r = std::sqrt(static_cast<double>(w) * w + 2.0 * a * rest);
        const float x1 = static_cast<float>(-(w - r) / a);
        const float x2 = static_cast<float>(-(r + w) / a);
        duration1 = x1 > x2 ? x1 : x2;
        int count = 0;
        // Without a constant-acceleration part the jerk phases alone fit (Test 2 did not
        // apply): a negative part would overlap them.
        while (p2 > L && duration1 > 0.0f) {
            ++count;
            duration1 -= 0.01f;
            if (duration1 < 0.0f) duration1 = 0.0f;
            accReached = duration0 * j;
            ComputeAccValues();
        }
        if (debug) {
            log->addFormat("Iteration finished after %d loops", count);
            log->addFormat("*********** Results: new duration phase1 %.2f, length %.2f, accReached %.2f (planned: %.2f)",
                           duration1, p2, accReached, acc);
        }
    }
    t1 = duration0 * 1000.0f;
    t2 = (duration0 + duration1) * 1000.0f;
    t3 = (2.0f * duration0 + duration1) * 1000.0f;
    lengthReached = p2;
    duration = t3;
    if (debug) {
        log->addFormat("CurveAcc: lengthReached %.2f, velocityReached %.2f duration %.2f", lengthReached,
                       velocityReached, duration);
        log->addFormat("CurveAcc Duration AccInc: %.2f  - Acc: %.2f  - AccInc: %.2f  - Complete: %.2f", duration0,
                       duration1, duration0, duration);
        log->add("");
    }
}

void PathBasicCurveAcc::ComputeAccValues() {
    const float d0 = duration0;
    const float d1 = duration1;
    const float a = accReached;
    const float j = accInc;
    vel0 = d0 * d0 * j / 2.0f;
    p0 = j * d0 * d0 * d0 / 6.0f;
    vel1 = vel0 + d1 * a;
    p1 = p0 + d1 * vel0 + d1 * d1 * a / 2.0f;
    vel2 = vel1 + d0 * a - d0 * d0 * j / 2.0f;
    p2 = p1 + d0 * vel1 + d0 * d0 * a / 2.0f - d0 * d0 * d0 * j / 6.0f;
    velocityReached = vel2;
}

float PathBasicCurveAcc::GetValue(float t) const {
    const float tau0 = decelerate ? duration - t : t;
    const float a = accReached;
    const float j = accInc;
    float s;
    if (tau0 >= t3) {
        s = lengthReached;
    } else if (tau0 > t2) {
        const float tau = (tau0 - t2) / 1000.0f;
        s = p1 + vel1 * tau + tau * tau * a / 2.0f - j * tau * tau * tau / 6.0f;
    } else if (tau0 > t1) {
        const float tau = (tau0 - t1) / 1000.0f;
        s = p0 + vel0 * tau + a * tau * tau / 2.0f;
    } else {
        const float tau = tau0 / 1000.0f;
        s = j * tau * tau * tau / 6.0f;
    }
    return decelerate ? lengthReached - s : s;
}

std::string PathBasicCurveAcc::ToString() const {
    std::ostringstream out;
    out.precision(2);
    out << "From 0 to " << lengthReached << " with " << velocityReached << " units/s in " << duration << " ms";
    return out.str();
}

}  // namespace Programs
