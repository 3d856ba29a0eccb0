#pragma once
// Three-axis gantry, with an optional fourth axis that turns the tool about the vertical.

#include "kinematics/CartesianGantry.h"

class RobotKinematicCartesian3Axis : public CartesianGantry {
public:
    static constexpr const char* KIN_TYPE_CONSTANT = "RobotKinematicCartesian3Axis";

    RobotKinematicCartesian3Axis();
    ~RobotKinematicCartesian3Axis() override;

    using CartesianGantry::clone;
    RobotKinematic* clone() override;
};
