#pragma once
// Gantry type "Cartesian1Axis": three directions like the three-axis gantry,
// an optional fourth axis, and no base shift by external linear axes.

#include "kinematics/CartesianGantry.h"

class RobotKinematicCartesian1Axis : public CartesianGantry {
public:
    static constexpr const char* KIN_TYPE_CONSTANT = "RobotKinematicCartesian1Axis";

    RobotKinematicCartesian1Axis();
    ~RobotKinematicCartesian1Axis() override;

    using CartesianGantry::clone;
    RobotKinematic* clone() override;
};
