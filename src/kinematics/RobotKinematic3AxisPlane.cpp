#include "kinematics/RobotKinematic3AxisPlane.h"

#include <cmath>
#include <tinyxml2.h>

#include "common/LogSingleton.h"
#include "kinematics/PlanarArm.h"

using KinMath::Frame;
using KinMath::kDegToRad;
using KinMath::kRadToDeg;
using KinMath::NearestDeg;

RobotKinematic3AxisPlane::RobotKinematic3AxisPlane() : PlanarArm(false, 1) {
    kinematicTypeName = "RobotKinematic3AxisPlane";
    nrOfJoints = 3;
    for (int i = 0; i < 4; ++i) joints[i] = 10;
}

RobotKinematic3AxisPlane::~RobotKinematic3AxisPlane() = default;

void RobotKinematic3AxisPlane::clone(RobotKinematic* from) { PlanarArm::clone(from); }

RobotKinematic* RobotKinematic3AxisPlane::clone() {
    auto* copy = new RobotKinematic3AxisPlane();
    copy->clone(this);
    return copy;
}

void RobotKinematic3AxisPlane::Init(const std::string& name, const std::string& type, const std::string& robotFile,
                                    int velSet) {
    RobotKinematic::Init(name, type, robotFile, velSet);
    LogSingleton* log = LogSingleton::instance();
    log->add(" ");
    log->addFormat("RK3AxisPlane %s / %s  - Kinematic Data: ", robotName, robotType);
    InitLinkedArm(robotFile, true, false);
}

void RobotKinematic3AxisPlane::ReadIniFile(const std::string& robotFile) {
    ReadArmFile(robotFile, "52 Robot Ini not valid");
}

// ---- forward kinematics ----

Frame RobotKinematic3AxisPlane::ArmFrame(const float* q) const {
    // Trans(0, 0, lz0 + lz1)·Ry(q1)·Trans(0, 0, lz2)·Ry(q2)·Trans(0, 0, lz3)
    const double a1 = q[0] * kDegToRad;
    const double a12 = (static_cast<double>(q[0]) + q[1]) * kDegToRad;
    return KinMath::RotY(a12, lz2 * std::sin(a1) + lz3 * std::sin(a12), 0.0,
                         static_cast<double>(lz0) + lz1 + lz2 * std::cos(a1) + lz3 * std::cos(a12));
}

Frame RobotKinematic3AxisPlane::WristFrame(const float* q) const {
    const double a = q[2] * kDegToRad;
    return KinMath::RotY(a, lz4 * std::sin(a), 0.0, lz4 * std::cos(a));
}

void RobotKinematic3AxisPlane::SetJoints(const float* userJoints, bool check) {
    ArmSetJoints(userJoints, check, false);
}

// ---- inverse kinematics ----

void RobotKinematic3AxisPlane::SolveArm(const Frame& f, double* q) {
    const double px = f.t[0] - f.r[0][2] * lz4;
    const double py = f.t[1] - f.r[1][2] * lz4;
    const double pz = f.t[2] - f.r[2][2] * lz4;
    if (std::fabs(py) > planeTolerance) PlanarArm::Refuse(errorLogged, 22, PlanarArm::kOutOfReach);
    wristPoint = DataTypes::Vector3(static_cast<float>(px), static_cast<float>(py), static_cast<float>(pz));
    const double h = pz - (static_cast<double>(lz0) + lz1);
    PlanarArm::CheckCentre(px, py, singularityCenter, errorLogged);

    // The arm works on the side of the base where the target is; a target on
    // the other side than the last joints is reached over the top, which
    // turns the elbow branch as seen from that side.
    const bool front = px >= 0.0;
    const bool up = front == armFront ? elbowUp : !elbowUp;
    double shoulder = 0, elbow = 0;
    PlanarArm::SolveShoulderElbow(std::sqrt(px * px + py * py), h, lz2, lz3, singularityEllbow, up, errorLogged,
                                  &shoulder, &elbow);
    if (!front) {
        shoulder = -shoulder;
        elbow = -elbow;
    }
    q[0] = NearestDeg(shoulder, joints[0]);
    q[1] = NearestDeg(elbow, joints[1]);
}

void RobotKinematic3AxisPlane::SetPosition(const DataTypes::Matrix44& target, float* extJoints) {
    ArmSetPosition(target, extJoints, false, false);
}
