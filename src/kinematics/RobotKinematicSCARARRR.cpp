#include "kinematics/RobotKinematicSCARARRR.h"

#include <cmath>
#include <tinyxml2.h>

namespace {
constexpr double kDegToRad = 0.017453292519943295;
constexpr double kRadToDeg = 57.29577951308232;
constexpr double kHeightTolerance = 0.001;
}  // namespace

RobotKinematicSCARARRR::RobotKinematicSCARARRR() : RobotKinematicScara("RobotKinematicSCARARRR", 1) {
    nrOfJoints = 3;
}

RobotKinematicSCARARRR::~RobotKinematicSCARARRR() = default;

void RobotKinematicSCARARRR::clone(RobotKinematic* from) {
    RobotKinematicScara::clone(from);
    auto* other = dynamic_cast<RobotKinematicSCARARRR*>(from);
    if (other == nullptr || other == this) return;
    h1 = other->h1;
    h2 = other->h2;
    h3 = other->h3;
}

RobotKinematic* RobotKinematicSCARARRR::clone() {
    auto* copy = new RobotKinematicSCARARRR();
    copy->clone(this);
    return copy;
}

const char* RobotKinematicSCARARRR::HeaderFormat() const { return "ScaraRRR %s / %s  - Kinematic Data: "; }

void RobotKinematicSCARARRR::ReadKinematic(tinyxml2::XMLElement* e) {
    ReadFloatAttribute(e, "hbase", hbase);
    ReadFloatAttribute(e, "distx1", distx1);
    ReadFloatAttribute(e, "h1", h1);
    ReadFloatAttribute(e, "h2", h2);
    ReadFloatAttribute(e, "h3", h3);
    ReadFloatAttribute(e, "radius1", radius1);
    ReadFloatAttribute(e, "radius2", radius2);
    ReadFloatAttribute(e, "radius3", radius3);
}

void RobotKinematicSCARARRR::ForwardKin(float* q, DataTypes::Matrix44* out) {
    const double t1 = q[0] * kDegToRad;
    const double t2 = t1 + q[1] * kDegToRad;
    const double t3 = t2 + q[2] * kDegToRad;
    const double x = distx1 + radius1 * std::cos(t1) + radius2 * std::cos(t2) + radius3 * std::cos(t3);
    const double y = radius1 * std::sin(t1) + radius2 * std::sin(t2) + radius3 * std::sin(t3);
    const double z = static_cast<double>(hbase) + h1 + h2 + h3;
    *out = ToolPose(x, y, z, t3 * kRadToDeg, false);
}

void RobotKinematicSCARARRR::InverseKin(const DataTypes::Matrix44& flange, float* q) {
    const DataTypes::Vector3 p = flange.GetTranslation();
    // The tool's Z axis gives the direction of the last arm, also when radius3 is 0.
    const DataTypes::Vector3 z = flange.GetColumnVector(2);
    const double phi = std::atan2(static_cast<double>(z.y), static_cast<double>(z.x));
    const double px = p.x - radius3 * std::cos(phi);
    const double py = p.y - radius3 * std::sin(phi);
    const double e = static_cast<double>(p.z) - hbase - h1 - h2 - h3;
    if (!(std::fabs(e) <= kHeightTolerance)) OutOfReach();
    float a1 = 0, a2 = 0;
    SolveArm(static_cast<float>(px), static_cast<float>(py), &a1, &a2);
    q[0] = a1;
    q[1] = a2;
    q[2] = static_cast<float>(WrapDeg(phi * kRadToDeg - a1 - a2));
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
