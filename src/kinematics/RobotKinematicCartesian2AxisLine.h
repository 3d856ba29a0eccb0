#pragma once
// Two-axis gantry in a vertical plane: no axis serves Y, the tool points down.

#include "kinematics/CartesianGantry.h"

class RobotKinematicCartesian2AxisLine : public CartesianGantry {
public:
    static constexpr const char* KIN_TYPE_CONSTANT = "RobotKinematicCartesian2AxisLine";

    RobotKinematicCartesian2AxisLine();
    ~RobotKinematicCartesian2AxisLine() override;

    using CartesianGantry::clone;
    RobotKinematic* clone() override;
};
