#pragma once
// Jerk-limited acceleration from standstill to a velocity within a distance:
// jerk up, constant acceleration, jerk down. With `decelerate` set the same
// curve is played backwards in time (a stop from that velocity).

#include <string>

namespace Programs {

class PathBasicCurveAcc {
public:
    PathBasicCurveAcc() = default;

    // Throws std::invalid_argument for a jerk of 0 and for inputs that cannot plan a motion.
    void PrepareAcceleration();
    void ComputeAccValues();
    // Distance at t ms.
    float GetValue(float t) const;
    float GetDurationInMs() const { return duration; }
    virtual std::string ToString() const;

    bool debug = false;
    bool decelerate = false;
    float velSetPoint = 0.5f;
    float acc = 100.0f;
    float accInc = 300.0f;
    float maxLength = 0.0f;
    float lengthReached = 0.0f;
    float velocityReached = 0.0f;
    float accReached = 0.0f;
    float duration = 0.0f;  // ms
    float t1 = 0.0f;        // ms
    float t2 = 0.0f;
    float t3 = 0.0f;
    float duration0 = 0.0f;  // s, each jerk sub-phase
    float duration1 = 0.0f;  // s, constant acceleration
    float vel0 = 0.0f;
    float vel1 = 0.0f;
    float vel2 = 0.0f;
    float dv = 0.0f;
    float p0 = 0.0f;
    float p1 = 0.0f;
    float p2 = 0.0f;
};

}  // namespace Programs
