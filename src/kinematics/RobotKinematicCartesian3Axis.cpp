#include "kinematics/RobotKinematicCartesian3Axis.h"

RobotKinematicCartesian3Axis::RobotKinematicCartesian3Axis()
    : CartesianGantry(KIN_TYPE_CONSTANT, LayoutOf(Member::ThreeAxis)) {}

RobotKinematicCartesian3Axis::~RobotKinematicCartesian3Axis() = default;

RobotKinematic* RobotKinematicCartesian3Axis::clone() {
    auto* copy = new RobotKinematicCartesian3Axis();
    copy->clone(this);
    return copy;
}
