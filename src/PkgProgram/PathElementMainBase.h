#pragma once
// A main element: one per queued motion command (line, arc or joint move).

#include "PkgProgram/PathElement.h"

namespace DataTypes {
class RobotState;
}

namespace Programs {

class PathElementMainBase : public PathElement {
public:
    PathElementMainBase(int commandIndex, int successorIndex) : PathElement(commandIndex, successorIndex) {}

    // velocity, startVelocity, endVelocity: mm/s (Cartesian) or a fraction of the joint limits;
    // start and end are each 0 or the velocity. The last two values are not read.
    virtual void Init(const DataTypes::RobotState& target, float velocity, float startVelocity, float endVelocity,
                      float accelerationFactor, float unused1, float unused2) = 0;
    // Cuts the element by the blend distances at its ends: `start` comes back as the point
    // where the element now begins, `end` as the point where it now ends.
    virtual void PrepareGeometry(DataTypes::RobotState& start, float distStart, float distEnd,
                                 DataTypes::RobotState& end) = 0;
};

}  // namespace Programs
