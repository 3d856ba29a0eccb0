#include "kinematics/RobotKinematicCartesian2AxisPlane.h"

namespace {

CartesianGantry::Layout GantryLayout() {
    CartesianGantry::Layout l;
    l.axes = 2;
    l.mayHaveFourthAxis = false;
    l.fixedColumn = DataTypes::Vector3(0, 0, 1);
    l.unservedComponent = 2;
    l.toolDown = false;
    l.externalShift = true;
    l.limitsInFile = 3;
    l.header = "RKCartesianFlat";
    l.missingFileName = "RobotKinematicCartesian2AxisPlane";
    l.defaultOffset = DataTypes::Vector3(0, 0, 0);
    return l;
}

}  // namespace

RobotKinematicCartesian2AxisPlane::RobotKinematicCartesian2AxisPlane() : CartesianGantry(KIN_TYPE_CONSTANT, GantryLayout()) {}

RobotKinematicCartesian2AxisPlane::~RobotKinematicCartesian2AxisPlane() = default;

RobotKinematic* RobotKinematicCartesian2AxisPlane::clone() {
    auto* copy = new RobotKinematicCartesian2AxisPlane();
    copy->clone(this);
    return copy;
}
