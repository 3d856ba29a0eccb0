#include "kinematics/RobotKinematicSCARARRLR.h"

#include <tinyxml2.h>

#include "kinematics/GeometryCopy.h"
#include "kinematics/KinMath.h"

namespace {
// Ordinary product a·b (b applied first), in double precision.
DataTypes::Matrix44 Then(const DataTypes::Matrix44& a, const DataTypes::Matrix44& b) {
    return KinMath::ToMatrix(KinMath::Mul(KinMath::FromMatrix(a), KinMath::FromMatrix(b)));
}
}  // namespace

RobotKinematicSCARARRLR::RobotKinematicSCARARRLR() : RobotKinematicScara("RobotKinematicSCARARRLR", 2) {}

RobotKinematicSCARARRLR::~RobotKinematicSCARARRLR() = default;

void RobotKinematicSCARARRLR::clone(RobotKinematic* from) {
    if (!CopyGeometry(*this, from)) RobotKinematic::clone(from);
}

RobotKinematic* RobotKinematicSCARARRLR::clone() { return NewCopy(*this); }

const char* RobotKinematicSCARARRLR::HeaderFormat() const { return nullptr; }

void RobotKinematicSCARARRLR::ReadKinematic(tinyxml2::XMLElement* e) {
    ReadBoolAttribute(e, "FourthAxis", fourthAxis);
    nrOfJoints = fourthAxis ? 4 : 3;
}

void RobotKinematicSCARARRLR::ForwardKin(float* q, DataTypes::Matrix44* out) {
    double x = 0, y = 0, direction = 0;
    PlanarForward(q[1], q[2], q[3], fourthAxis, &x, &y, &direction);
    *out = ToolPose(x, y, static_cast<double>(hbase) + q[0], direction, false);
}

void RobotKinematicSCARARRLR::SolveTarget(const DataTypes::Matrix44& target, float* q) { InverseKin(target, q); }

void RobotKinematicSCARARRLR::InverseKin(const DataTypes::Matrix44& target, float* q) {
    const DataTypes::Matrix44 flange = Then(target, tool.inverseToolMatrix);
    const DataTypes::Vector3 p = flange.GetTranslation();
    // The tool's Z axis gives the direction of the last arm, also when radius3 is 0.
    SolvePlanar(p, flange.GetColumnVector(2), fourthAxis, q + 1);
    q[0] = static_cast<float>(static_cast<double>(p.z) - hbase);
}
