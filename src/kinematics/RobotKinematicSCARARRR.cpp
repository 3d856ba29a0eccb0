#include "kinematics/RobotKinematicSCARARRR.h"

#include <cmath>
#include <tinyxml2.h>

#include "kinematics/GeometryCopy.h"

namespace {
constexpr double kHeightTolerance = 0.001;
}  // namespace

RobotKinematicSCARARRR::RobotKinematicSCARARRR() : RobotKinematicScara("RobotKinematicSCARARRR", 1) {
    nrOfJoints = 3;
}

RobotKinematicSCARARRR::~RobotKinematicSCARARRR() = default;

void RobotKinematicSCARARRR::clone(RobotKinematic* from) {
    if (!CopyGeometry(*this, from)) RobotKinematic::clone(from);
}

RobotKinematic* RobotKinematicSCARARRR::clone() { return NewCopy(*this); }

const char* RobotKinematicSCARARRR::HeaderFormat() const { return "ScaraRRR %s / %s  - Kinematic Data: "; }

void RobotKinematicSCARARRR::ReadKinematic(tinyxml2::XMLElement* e) {
    ReadFloatAttribute(e, "h1", h1);
    ReadFloatAttribute(e, "h2", h2);
    ReadFloatAttribute(e, "h3", h3);
}

void RobotKinematicSCARARRR::ForwardKin(float* q, DataTypes::Matrix44* out) {
    double x = 0, y = 0, direction = 0;
    PlanarForward(q[0], q[1], q[2], true, &x, &y, &direction);
    *out = ToolPose(x, y, static_cast<double>(hbase) + h1 + h2 + h3, direction, false);
}

void RobotKinematicSCARARRR::InverseKin(const DataTypes::Matrix44& flange, float* q) {
    const DataTypes::Vector3 p = flange.GetTranslation();
    const double e = static_cast<double>(p.z) - hbase - h1 - h2 - h3;
    if (!(std::fabs(e) <= kHeightTolerance)) OutOfReach();
    // The tool's Z axis gives the direction of the last arm, also when radius3 is 0.
    float solved[3];
    SolvePlanar(p, flange.GetColumnVector(2), true, solved);
    for (int i = 0; i < 3; ++i) q[i] = solved[i];
}

DataTypes::Matrix44 RobotKinematicSCARARRR::PoseAfterSolve(const DataTypes::Matrix44&, float* q,
                                                           const DataTypes::Vector3& shift) {
    DataTypes::Matrix44 p;
    ForwardKin(q, &p);
    p(0, 3) += shift.x;
    p(1, 3) += shift.y;
    p(2, 3) += shift.z;
    return p;
}
