#pragma once
// Independent rotary axes (degrees) without a Cartesian transform.

#include "kinematics/SeparateJoints.h"

class RobotKinematicSeparateJointsRotational : public SeparateJoints {
public:
    RobotKinematicSeparateJointsRotational();
    ~RobotKinematicSeparateJointsRotational() override;

    void clone(RobotKinematic* from) override;
    RobotKinematic* clone() override;
};
