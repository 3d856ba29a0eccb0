#pragma once
// Independent linear axes (millimetres) without a Cartesian transform.

#include "kinematics/SeparateJoints.h"

class RobotKinematicSeparateJointsLinear : public SeparateJoints {
public:
    RobotKinematicSeparateJointsLinear();
    ~RobotKinematicSeparateJointsLinear() override;

    void clone(RobotKinematic* from) override;
    RobotKinematic* clone() override;
};
