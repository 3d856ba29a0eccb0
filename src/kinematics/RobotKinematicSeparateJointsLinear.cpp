#include "kinematics/RobotKinematicSeparateJointsLinear.h"

RobotKinematicSeparateJointsLinear::RobotKinematicSeparateJointsLinear()
    : SeparateJoints("RobotKinematicSeparateJointsLinear", "RKSeperateJointsLinear") {}

RobotKinematicSeparateJointsLinear::~RobotKinematicSeparateJointsLinear() = default;

void RobotKinematicSeparateJointsLinear::clone(RobotKinematic* from) { RobotKinematic::clone(from); }

RobotKinematic* RobotKinematicSeparateJointsLinear::clone() {
    auto* copy = new RobotKinematicSeparateJointsLinear();
    copy->clone(this);
    return copy;
}
