#include "kinematics/RobotKinematicCartesian2AxisLine.h"

RobotKinematicCartesian2AxisLine::RobotKinematicCartesian2AxisLine()
    : CartesianGantry(KIN_TYPE_CONSTANT, LayoutOf(Member::TwoAxisLine)) {}

RobotKinematicCartesian2AxisLine::~RobotKinematicCartesian2AxisLine() = default;

RobotKinematic* RobotKinematicCartesian2AxisLine::clone() {
    auto* copy = new RobotKinematicCartesian2AxisLine();
    copy->clone(this);
    return copy;
}
