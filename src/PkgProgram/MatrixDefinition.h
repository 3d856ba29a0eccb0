#pragma once

#include <cstdint>

#include "datatypes/RobotState.h"
#include "datatypes/Vector3.h"

namespace Programs {

// A grid of positions spanned from corner A towards corners B and C.
class MatrixDefinition {
public:
    MatrixDefinition();
    MatrixDefinition(int cntX, int cntY);

    DataTypes::RobotState base;     // pose of corner A
    DataTypes::Vector3 deltaB;      // translation A -> B
    DataTypes::Vector3 deltaC;      // translation A -> C
    DataTypes::Vector3 deltaAngleB; // A/B/C angle difference A -> B
    DataTypes::Vector3 deltaAngleC; // A/B/C angle difference A -> C
    int32_t cntX;
    int32_t cntY;
    double stepX;  // 1 / (cntX - 1)
    double stepY;  // 1 / (cntY - 1)
};

}  // namespace Programs
