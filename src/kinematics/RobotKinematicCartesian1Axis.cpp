#include "kinematics/RobotKinematicCartesian1Axis.h"

RobotKinematicCartesian1Axis::RobotKinematicCartesian1Axis()
    : CartesianGantry(KIN_TYPE_CONSTANT, LayoutOf(Member::OneAxis)) {}

RobotKinematicCartesian1Axis::~RobotKinematicCartesian1Axis() = default;

RobotKinematic* RobotKinematicCartesian1Axis::clone() {
    auto* copy = new RobotKinematicCartesian1Axis();
    copy->clone(this);
    return copy;
}
