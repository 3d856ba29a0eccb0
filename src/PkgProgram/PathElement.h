#pragma once
// One timed segment of a planned Cartesian or joint path. The path generator
// cuts main elements short where they are blended into their neighbours and
// samples each element by the time since its own start.

#include <string>
#include <vector>

#include "datatypes/Vector3.h"

namespace DataTypes {
class RobotState;
}

namespace Programs {

class PathElement {
public:
    // 0: t lay inside the element; 1: outside [0, duration), the end was written.
    enum GetPositionResult { InRange = 0, OutOfRange = 1 };

    // One row of a blend's time table.
    struct TableElem {
        float parameter;  // curve parameter 0..1
        float length;     // distance along the curve
        float time;       // ms from the element's start
    };

    PathElement(int commandIndex, int successorIndex);
    virtual ~PathElement();

    virtual std::string GetType() const = 0;
    virtual void PrepareAcceleration() = 0;
    virtual GetPositionResult GetPosition(float t, DataTypes::RobotState& out) const = 0;
    virtual float GetVel() const = 0;
    virtual float GetDuration() const = 0;
    virtual bool IsTimeInRange(float t) const = 0;
    virtual std::string ToString() const = 0;
    virtual void SetDebugFlag(bool flag);

    void SetMotionParameter(const float* jointVelocity, const float* jointAcceleration, const float* jointJerk,
                            float cartVelocity, float cartAcceleration, float cartJerk, float oriVelocity,
                            float oriAcceleration, float oriJerk);
    static float signumLocal(float v) { return v > 0.0f ? 1.0f : (v < 0.0f ? -1.0f : 0.0f); }

    int commandIndex;
    int successorIndex;
    float velocityFactor = 100.0f;
    float startVelocityFactor = 0.0f;
    float endVelocityFactor = 0.0f;
    float jointVelocityLimits[9] = {};
    float jointAccelerationLimits[9] = {};
    float jointJerkLimits[9] = {};
    float cartVelocity = 100.0f;
    float cartAcceleration = 1000.0f;
    float cartJerk = 3000.0f;
    float oriVelocity = 100.0f;
    float oriAcceleration = 1000.0f;
    float oriJerk = 3000.0f;
    DataTypes::Vector3 startDirection;
    DataTypes::Vector3 endDirection;
    bool debug = false;
    std::vector<TableElem> lookUpTable;
};

}  // namespace Programs
