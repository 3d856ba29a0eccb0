#include "kinematics/RobotKinematicCartesian1Axis.h"

namespace {

CartesianGantry::Layout GantryLayout() {
    CartesianGantry::Layout l;
    l.axes = 3;
    l.mayHaveFourthAxis = true;
    l.fixedColumn = DataTypes::Vector3(0, 0, 0);
    l.unservedComponent = -1;
    l.toolDown = true;
    l.externalShift = false;
    l.limitsInFile = 3;
    l.header = "RKCartesian";
    l.missingFileName = "RobotKinematicCartesian1Axis";
    l.defaultOffset = DataTypes::Vector3(-195, -250, 130);
    return l;
}

}  // namespace

RobotKinematicCartesian1Axis::RobotKinematicCartesian1Axis() : CartesianGantry(KIN_TYPE_CONSTANT, GantryLayout()) {}

RobotKinematicCartesian1Axis::~RobotKinematicCartesian1Axis() = default;

RobotKinematic* RobotKinematicCartesian1Axis::clone() {
    auto* copy = new RobotKinematicCartesian1Axis();
    copy->clone(this);
    return copy;
}
