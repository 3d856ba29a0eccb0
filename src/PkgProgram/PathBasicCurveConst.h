#pragma once
// Motion at constant velocity over a distance.

#include <string>

namespace Programs {

class PathBasicCurveConst {
public:
    PathBasicCurveConst() = default;

    void PrepareAcceleration();
    // Distance at t ms.
    float GetValue(float t) const;
    float GetDurationInMs() const { return duration; }
    virtual std::string ToString() const;

    bool debug = false;
    float velocity = 0.5f;
    float length = 0.0f;
    float duration = 0.0f;  // ms
};

}  // namespace Programs
