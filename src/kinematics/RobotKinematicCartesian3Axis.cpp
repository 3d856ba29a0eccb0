#include "kinematics/RobotKinematicCartesian3Axis.h"

namespace {

CartesianGantry::Layout GantryLayout() {
    CartesianGantry::Layout l;
    l.axes = 3;
    l.mayHaveFourthAxis = true;
    l.fixedColumn = DataTypes::Vector3(0, 0, 0);
    l.unservedComponent = -1;
    l.toolDown = true;
    l.externalShift = true;
    l.limitsInFile = 3;
    l.header = "RKCartesian";
    l.missingFileName = "RobotKinematicCartesian3Axis";
    l.defaultOffset = DataTypes::Vector3(-195, -250, 130);
    return l;
}

}  // namespace

RobotKinematicCartesian3Axis::RobotKinematicCartesian3Axis() : CartesianGantry(KIN_TYPE_CONSTANT, GantryLayout()) {}

RobotKinematicCartesian3Axis::~RobotKinematicCartesian3Axis() = default;

RobotKinematic* RobotKinematicCartesian3Axis::clone() {
    auto* copy = new RobotKinematicCartesian3Axis();
    copy->clone(this);
    return copy;
}
