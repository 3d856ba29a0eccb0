#include "kinematics/RobotKinematicSCARARRLR.h"

#include <cmath>
#include <tinyxml2.h>

namespace {
constexpr double kDegToRad = 0.017453292519943295;
constexpr double kRadToDeg = 57.29577951308232;

DataTypes::Matrix44 Then(const DataTypes::Matrix44& a, const DataTypes::Matrix44& b) { return b * a; }
}  // namespace

RobotKinematicSCARARRLR::RobotKinematicSCARARRLR() : RobotKinematicScara("RobotKinematicSCARARRLR", 2) {}

RobotKinematicSCARARRLR::~RobotKinematicSCARARRLR() = default;

void RobotKinematicSCARARRLR::clone(RobotKinematic* from) {
    RobotKinematicScara::clone(from);
    auto* other = dynamic_cast<RobotKinematicSCARARRLR*>(from);
    if (other == nullptr || other == this) return;
    fourthAxis = other->fourthAxis;
}

RobotKinematic* RobotKinematicSCARARRLR::clone() {
    auto* copy = new RobotKinematicSCARARRLR();
    copy->clone(this);
    return copy;
}

const char* RobotKinematicSCARARRLR::HeaderFormat() const { return nullptr; }

void RobotKinematicSCARARRLR::ReadKinematic(tinyxml2::XMLElement* e) {
    ReadFloatAttribute(e, "hbase", hbase);
    ReadFloatAttribute(e, "distx1", distx1);
    ReadFloatAttribute(e, "radius1", radius1);
    ReadFloatAttribute(e, "radius2", radius2);
    ReadFloatAttribute(e, "radius3", radius3);
    ReadBoolAttribute(e, "FourthAxis", fourthAxis);
    nrOfJoints = fourthAxis ? 4 : 3;
}

void RobotKinematicSCARARRLR::ForwardKin(float* q, DataTypes::Matrix44* out) {
    const double t2 = q[1] * kDegToRad;
    const double t3 = t2 + q[2] * kDegToRad;
    double x = distx1 + radius1 * std::cos(t2) + radius2 * std::cos(t3);
    double y = radius1 * std::sin(t2) + radius2 * std::sin(t3);
    double direction = t3;
    if (fourthAxis) {
        direction = t3 + q[3] * kDegToRad;
        x += radius3 * std::cos(direction);
        y += radius3 * std::sin(direction);
    }
    *out = ToolPose(x, y, static_cast<double>(hbase) + q[0], direction * kRadToDeg, false);
}

void RobotKinematicSCARARRLR::SolveTarget(const DataTypes::Matrix44& target, float* q) { InverseKin(target, q); }

void RobotKinematicSCARARRLR::InverseKin(const DataTypes::Matrix44& target, float* q) {
    const DataTypes::Matrix44 flange = Then(target, tool.inverseToolMatrix);
    const DataTypes::Vector3 p = flange.GetTranslation();
    // The tool's Z axis gives the direction of the last arm, also when radius3 is 0.
    const DataTypes::Vector3 z = flange.GetColumnVector(2);
    const double phi = std::atan2(static_cast<double>(z.y), static_cast<double>(z.x));
    double px = p.x, py = p.y;
    if (fourthAxis) {
        px -= radius3 * std::cos(phi);
        py -= radius3 * std::sin(phi);
    }
    float a2 = 0, a3 = 0;
    SolveArm(static_cast<float>(px), static_cast<float>(py), &a2, &a3);
    q[0] = static_cast<float>(static_cast<double>(p.z) - hbase);
    q[1] = a2;
    q[2] = a3;
    q[3] = fourthAxis ? static_cast<float>(WrapDeg(phi * kRadToDeg - a2 - a3)) : 0.0f;
}
