#include "kinematics/RobotKinematicCartesian2AxisPlane.h"

RobotKinematicCartesian2AxisPlane::RobotKinematicCartesian2AxisPlane()
    : CartesianGantry(KIN_TYPE_CONSTANT, LayoutOf(Member::TwoAxisPlane)) {}

RobotKinematicCartesian2AxisPlane::~RobotKinematicCartesian2AxisPlane() = default;

RobotKinematic* RobotKinematicCartesian2AxisPlane::clone() {
    auto* copy = new RobotKinematicCartesian2AxisPlane();
    copy->clone(this);
    return copy;
}
