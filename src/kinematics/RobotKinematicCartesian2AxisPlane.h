#pragma once
// Two-axis gantry in a horizontal plane: no axis serves Z, the flange keeps the base orientation.

#include "kinematics/CartesianGantry.h"

class RobotKinematicCartesian2AxisPlane : public CartesianGantry {
public:
    static constexpr const char* KIN_TYPE_CONSTANT = "RobotKinematicCartesian2AxisPlane";

    RobotKinematicCartesian2AxisPlane();
    ~RobotKinematicCartesian2AxisPlane() override;

    using CartesianGantry::clone;
    RobotKinematic* clone() override;
};
