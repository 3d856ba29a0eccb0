#include "kinematics/RobotKinematicCartesian2AxisLine.h"

namespace {

CartesianGantry::Layout GantryLayout() {
    CartesianGantry::Layout l;
    l.axes = 2;
    l.mayHaveFourthAxis = false;
    l.fixedColumn = DataTypes::Vector3(0, 1, 0);
    l.unservedComponent = 1;
    l.toolDown = true;
    l.externalShift = true;
    l.limitsInFile = 2;
    l.header = "RKCartesian";
    l.missingFileName = "RobotKinematicCartesian";
    l.defaultOffset = DataTypes::Vector3(0, 0, 0);
    return l;
}

}  // namespace

RobotKinematicCartesian2AxisLine::RobotKinematicCartesian2AxisLine() : CartesianGantry(KIN_TYPE_CONSTANT, GantryLayout()) {}

RobotKinematicCartesian2AxisLine::~RobotKinematicCartesian2AxisLine() = default;

RobotKinematic* RobotKinematicCartesian2AxisLine::clone() {
    auto* copy = new RobotKinematicCartesian2AxisLine();
    copy->clone(this);
    return copy;
}
