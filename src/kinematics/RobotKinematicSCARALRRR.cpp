#include "kinematics/RobotKinematicSCARALRRR.h"

#include <cmath>
#include <tinyxml2.h>

namespace {
constexpr double kDegToRad = 0.017453292519943295;
constexpr double kRadToDeg = 57.29577951308232;
}  // namespace

RobotKinematicSCARALRRR::RobotKinematicSCARALRRR() : RobotKinematicScara("RobotKinematicSCARALRRR", 2) {}

RobotKinematicSCARALRRR::~RobotKinematicSCARALRRR() = default;

void RobotKinematicSCARALRRR::clone(RobotKinematic* from) {
    RobotKinematicScara::clone(from);
    auto* other = dynamic_cast<RobotKinematicSCARALRRR*>(from);
    if (other == nullptr || other == this) return;
    distz1 = other->distz1;
    distz2 = other->distz2;
    distz3 = other->distz3;
    fourthAxis = other->fourthAxis;
}

RobotKinematic* RobotKinematicSCARALRRR::clone() {
    auto* copy = new RobotKinematicSCARALRRR();
    copy->clone(this);
    return copy;
}

const char* RobotKinematicSCARALRRR::HeaderFormat() const { return "ScaraLRRR %s / %s  - Kinematic Data: "; }

void RobotKinematicSCARALRRR::ReadKinematic(tinyxml2::XMLElement* e) {
    ReadFloatAttribute(e, "hbase", hbase);
    ReadFloatAttribute(e, "distx1", distx1);
    ReadFloatAttribute(e, "radius1", radius1);
    ReadFloatAttribute(e, "radius2", radius2);
    ReadFloatAttribute(e, "radius3", radius3);
    ReadFloatAttribute(e, "distz1", distz1);
    ReadFloatAttribute(e, "distz2", distz2);
    ReadFloatAttribute(e, "distz3", distz3);
    ReadBoolAttribute(e, "FourthAxis", fourthAxis);
    nrOfJoints = fourthAxis ? 4 : 3;
}

void RobotKinematicSCARALRRR::ForwardKin(float* q, DataTypes::Matrix44* out) {
    const double t2 = q[1] * kDegToRad;
    const double t3 = t2 + q[2] * kDegToRad;
    double x = distx1 + radius1 * std::cos(t2) + radius2 * std::cos(t3);
    double y = radius1 * std::sin(t2) + radius2 * std::sin(t3);
    double z = static_cast<double>(hbase) + q[0] + distz1 + distz2;
    double direction = t3;
    if (fourthAxis) {
        direction = t3 + q[3] * kDegToRad;
        x += radius3 * std::cos(direction);
        y += radius3 * std::sin(direction);
        z += distz3;
    }
    *out = ToolPose(x, y, z, direction * kRadToDeg, true);
}

void RobotKinematicSCARALRRR::InverseKin(const DataTypes::Matrix44& flange, float* q) {
    const DataTypes::Vector3 p = flange.GetTranslation();
    const DataTypes::Vector3 x = flange.GetColumnVector(0);
    const double phi = std::atan2(static_cast<double>(x.y), static_cast<double>(x.x));
    double px = p.x, py = p.y;
    double a1 = static_cast<double>(p.z) - hbase - distz1 - distz2;
    if (fourthAxis) {
        // The flange's X axis points from the A4 axis to the flange.
        px -= radius3 * std::cos(phi);
        py -= radius3 * std::sin(phi);
        a1 -= distz3;
    }
    float a2 = 0, a3 = 0;
    SolveArm(static_cast<float>(px), static_cast<float>(py), &a2, &a3);
    q[0] = static_cast<float>(a1);
    q[1] = a2;
    q[2] = a3;
    q[3] = fourthAxis ? static_cast<float>(WrapDeg(phi * kRadToDeg - a2 - a3)) : 0.0f;
}
