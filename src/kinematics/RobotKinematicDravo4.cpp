#include "kinematics/RobotKinematicDravo4.h"

#include <cmath>
#include <tinyxml2.h>

#include "common/LogSingleton.h"
#include "kinematics/PlanarArm.h"

using KinMath::Frame;
using KinMath::kDegToRad;
using KinMath::kRadToDeg;
using KinMath::NearestDeg;

RobotKinematicDravo4::RobotKinematicDravo4() : PlanarArm(true, 2) {
    kinematicTypeName = "RobotKinematicDravo4";
    nrOfJoints = 4;
    for (int i = 0; i < 4; ++i) joints[i] = 10;
}

RobotKinematicDravo4::~RobotKinematicDravo4() = default;

void RobotKinematicDravo4::clone(RobotKinematic* from) { PlanarArm::clone(from); }

RobotKinematic* RobotKinematicDravo4::clone() {
    auto* copy = new RobotKinematicDravo4();
    copy->clone(this);
    return copy;
}

void RobotKinematicDravo4::Init(const std::string& name, const std::string& type, const std::string& robotFile,
                                int velSet) {
    RobotKinematic::Init(name, type, robotFile, velSet);
    LogSingleton* log = LogSingleton::instance();
    log->add(" ");
    log->addFormat("RK4Axis %s / %s  - Kinematic Data: ", robotName, robotType);
    jointLimits[3][0] = -150;
    jointLimits[3][1] = 150;
    for (int i = 6; i < maxJoints; ++i) {
        jointLimits[i][0] = -150;
        jointLimits[i][1] = 150;
    }
    InitLinkedArm(robotFile, false, true);
}

void RobotKinematicDravo4::ReadIniFile(const std::string& robotFile) {
    ReadArmFile(robotFile, "52 Robot Ini not valid");
}

// ---- forward kinematics ----

Frame RobotKinematicDravo4::ArmFrame(const float* q) const { return TurnedArmFrame(q); }

Frame RobotKinematicDravo4::WristFrame(const float* q) const {
    const double a = q[3] * kDegToRad;
    return KinMath::RotY(a, lz4 * std::sin(a), 0.0, lz4 * std::cos(a));
}

void RobotKinematicDravo4::SetJoints(const float* userJoints, bool check) {
    ArmSetJoints(userJoints, check, true);
}

// ---- inverse kinematics ----

void RobotKinematicDravo4::SolveArm(const Frame& f, double* q) {
    const double px = f.t[0] - f.r[0][2] * lz4;
    const double py = f.t[1] - f.r[1][2] * lz4;
    const double h = f.t[2] - f.r[2][2] * lz4 - (static_cast<double>(lz0) + lz1);
    PlanarArm::CheckCentre(px, py, singularityCenter, errorLogged);
    double a1 = std::atan2(py, px) * kRadToDeg;
    double shoulder = 0, elbow = 0;
    PlanarArm::SolveShoulderElbow(std::sqrt(px * px + py * py), h, lz2, lz3, singularityEllbow, elbowUp, errorLogged,
                                  &shoulder, &elbow);
    if (!armFront) {
        // Reaching over the base to the other side.
        a1 = KinMath::WrapDeg(a1 + 180.0);
        shoulder = -shoulder;
        elbow = -elbow;
    }
    q[0] = NearestDeg(a1, joints[0]);
    q[1] = NearestDeg(shoulder, joints[1]);
    q[2] = NearestDeg(elbow, joints[2]);
}

void RobotKinematicDravo4::SetPosition(const DataTypes::Matrix44& target, float* extJoints) {
    ArmSetPosition(target, extJoints, true, true);
}
