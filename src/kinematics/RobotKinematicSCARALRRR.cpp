#include "kinematics/RobotKinematicSCARALRRR.h"

#include <tinyxml2.h>

#include "kinematics/GeometryCopy.h"

RobotKinematicSCARALRRR::RobotKinematicSCARALRRR() : RobotKinematicScara("RobotKinematicSCARALRRR", 2) {}

RobotKinematicSCARALRRR::~RobotKinematicSCARALRRR() = default;

void RobotKinematicSCARALRRR::clone(RobotKinematic* from) {
    if (!CopyGeometry(*this, from)) RobotKinematic::clone(from);
}

RobotKinematic* RobotKinematicSCARALRRR::clone() { return NewCopy(*this); }

const char* RobotKinematicSCARALRRR::HeaderFormat() const { return "ScaraLRRR %s / %s  - Kinematic Data: "; }

void RobotKinematicSCARALRRR::ReadKinematic(tinyxml2::XMLElement* e) {
    ReadFloatAttribute(e, "distz1", distz1);
    ReadFloatAttribute(e, "distz2", distz2);
    ReadFloatAttribute(e, "distz3", distz3);
    ReadBoolAttribute(e, "FourthAxis", fourthAxis);
    nrOfJoints = fourthAxis ? 4 : 3;
}

void RobotKinematicSCARALRRR::ForwardKin(float* q, DataTypes::Matrix44* out) {
    double x = 0, y = 0, direction = 0;
    PlanarForward(q[1], q[2], q[3], fourthAxis, &x, &y, &direction);
    const double z = static_cast<double>(hbase) + q[0] + distz1 + distz2 + (fourthAxis ? distz3 : 0.0f);
    *out = ToolPose(x, y, z, direction, true);
}

void RobotKinematicSCARALRRR::InverseKin(const DataTypes::Matrix44& flange, float* q) {
    const DataTypes::Vector3 p = flange.GetTranslation();
    // The flange's X axis points along the last arm.
    SolvePlanar(p, flange.GetColumnVector(0), fourthAxis, q + 1);
    q[0] = static_cast<float>(static_cast<double>(p.z) - hbase - distz1 - distz2 - (fourthAxis ? distz3 : 0.0f));
}
