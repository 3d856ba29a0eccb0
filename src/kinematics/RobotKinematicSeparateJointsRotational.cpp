#include "kinematics/RobotKinematicSeparateJointsRotational.h"

RobotKinematicSeparateJointsRotational::RobotKinematicSeparateJointsRotational()
    : SeparateJoints("RobotKinematicSeparateJointsRotational", "RKSeperateJointsRotational") {}

RobotKinematicSeparateJointsRotational::~RobotKinematicSeparateJointsRotational() = default;

void RobotKinematicSeparateJointsRotational::clone(RobotKinematic* from) { RobotKinematic::clone(from); }

RobotKinematic* RobotKinematicSeparateJointsRotational::clone() {
    auto* copy = new RobotKinematicSeparateJointsRotational();
    copy->clone(this);
    return copy;
}
