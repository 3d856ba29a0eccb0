#include "kinematics/RobotKinematicDravo4.h"

#include <cmath>
#include <tinyxml2.h>

#include "common/LogSingleton.h"
#include "kinematics/KinematicLog.h"
#include "kinematics/PlanarArm.h"

using KinMath::Frame;
using KinMath::kDegToRad;
using KinMath::kRadToDeg;
using KinMath::NearestDeg;

RobotKinematicDravo4::RobotKinematicDravo4() {
    kinematicTypeName = "RobotKinematicDravo4";
    nrOfJoints = 4;
    for (int i = 0; i < 4; ++i) joints[i] = 10;
}

RobotKinematicDravo4::~RobotKinematicDravo4() = default;

void RobotKinematicDravo4::clone(RobotKinematic* from) {
    RobotKinematic::clone(from);
    auto* other = dynamic_cast<RobotKinematicDravo4*>(from);
    if (other == nullptr || other == this) return;
    lz0 = other->lz0;
    lz1 = other->lz1;
    lz2 = other->lz2;
    lz3 = other->lz3;
    lz4 = other->lz4;
    singularityCenter = other->singularityCenter;
    singularityEllbow = other->singularityEllbow;
    elbowUp = other->elbowUp;
    armFront = other->armFront;
    wristPoint = other->wristPoint;
    errorLogged = other->errorLogged;
}

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

    pose = DataTypes::Matrix44();
    pose.SetTranslation(0.0f, 0.0f, 300.0f);
    joints[0] = 0;
    joints[1] = -20;
    joints[2] = 110;
    joints[3] = 0;
    for (int i = 0; i < maxJoints; ++i) {
        maxJointVelocities[i] = 100;
        maxJointAccelerations[i] = 100;
    }
    accLin = 1000;
    accLinInc = 2000;
    const float limits[4][2] = {{-150, 150}, {-40, 60}, {-120, 140}, {-150, 150}};
    for (int i = 0; i < 4; ++i) {
        jointLimits[i][0] = limits[i][0];
        jointLimits[i][1] = limits[i][1];
    }
    for (int i = 6; i < maxJoints; ++i) {
        jointLimits[i][0] = -150;
        jointLimits[i][1] = 150;
    }
    lz0 = 158;
    lz1 = 60;
    lz2 = 190;
    lz3 = 220;
    lz4 = 46;
    singularityCenter = 5;
    singularityEllbow = 30;
    elbowUp = true;
    armFront = true;

    ReadIniFile(robotFile);

    KinematicLog::JointLines(*this, 4);
    SetMinMaxValues(jointLimits);
    log->addFormat("   Joint length: lz0 %.1lf, lz1 %.1lf, lz2 %.1lf, lz3 %.1lf, lz4 %.1lf", lz0, lz1, lz2, lz3, lz4);
    log->addFormat("   Singularities: Center %.1lf, Ellbow %.1lf", singularityCenter, singularityEllbow);
    log->add(" ");
    errorLogged = false;
}

void RobotKinematicDravo4::ReadIniFile(const std::string& robotFile) {
    tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
    tinyxml2::XMLElement* robot = OpenRobotFile(doc, robotFile, "52 Robot Ini not valid");
    if (robot == nullptr) return;
    if (tinyxml2::XMLElement* e = RequireElement(robot, "Kinematic", "54 Robot Ini not complete")) {
        ReadFloatAttribute(e, "lz0", lz0);
        ReadFloatAttribute(e, "lz1", lz1);
        ReadFloatAttribute(e, "lz2", lz2);
        ReadFloatAttribute(e, "lz3", lz3);
        ReadFloatAttribute(e, "lz4", lz4);
    }
    ReadSoftwareMinMax(robot);
    ReadIniFileVelocities(robot);
    ReadManufacturerJointConfig(robot);
    if (tinyxml2::XMLElement* e = RequireElement(robot, "SINGULARITIES", "59 Robot Ini not complete", true)) {
        ReadFloatAttribute(e, "Center", singularityCenter);
        ReadFloatAttribute(e, "Ellbow", singularityEllbow);
    }
}

// ---- forward kinematics ----

Frame RobotKinematicDravo4::ArmFrame(const float* q) const {
    // [Rz(q1) | (0, 0, lz0)]·[Ry(q2) | (0, 0, lz1)]·[Ry(q3) | (0, 0, lz2)]·Trans(0, 0, lz3)
    const double a1 = q[0] * kDegToRad;
    const double a2 = q[1] * kDegToRad;
    const double a23 = (static_cast<double>(q[1]) + q[2]) * kDegToRad;
    const double front = lz2 * std::sin(a2) + lz3 * std::sin(a23);
    const double c1 = std::cos(a1), s1 = std::sin(a1);
    const double c23 = std::cos(a23), s23 = std::sin(a23);
    return Frame{{{c1 * c23, -s1, c1 * s23}, {s1 * c23, c1, s1 * s23}, {-s23, 0, c23}},
                 {front * c1, front * s1, static_cast<double>(lz0) + lz1 + lz2 * std::cos(a2) + lz3 * c23}};
}

Frame RobotKinematicDravo4::FlangeFrame(const float* q) const {
    return KinMath::Mul(ArmFrame(q), KinMath::RotY(q[3] * kDegToRad, lz4 * std::sin(q[3] * kDegToRad), 0.0,
                                                   lz4 * std::cos(q[3] * kDegToRad)));
}

void RobotKinematicDravo4::ForwardKin(const float* q, DataTypes::Matrix44* out) {
    wristPoint = KinMath::ToMatrix(ArmFrame(q)).GetTranslation();
    KinMath::ToMatrix(KinMath::Mul(FlangeFrame(q), KinMath::FromMatrix(tool.toolMatrix)), out);
}

void RobotKinematicDravo4::ForwardKinJ1toJ3(const float* q, DataTypes::Matrix44* m) {
    KinMath::ToMatrix(ArmFrame(q), m);
    wristPoint = m->GetTranslation();
}

void RobotKinematicDravo4::ForwardKinJ4toJ6(const float* q, DataTypes::Matrix44* w) {
    const double a = q[3] * kDegToRad;
    KinMath::ToMatrix(KinMath::RotY(a, lz4 * std::sin(a), 0.0, lz4 * std::cos(a)), w);
}

void RobotKinematicDravo4::SetJoints(const float* userJoints, bool check) {
    float q[maxJoints];
    float velocities[maxJoints];
    UserToInternal(userJoints, q);
    if (check) {
        for (int i = 0; i < maxJoints; ++i) velocities[i] = jointVelocities[i];
        CheckJointsPending(q, velocities);
    }
    const Frame arm = ArmFrame(q);
    DataTypes::Matrix44 newPose;
    KinMath::ToMatrix(KinMath::Mul(FlangeFrame(q), KinMath::FromMatrix(tool.toolMatrix)), &newPose);
    AddLinearAxisPositionOffset(q, newPose);
    if (check) CheckVirtualBox(newPose.GetTranslation(), pose.GetTranslation());

    for (int i = 0; i < maxJoints; ++i) {
        joints[i] = q[i];
        if (check) jointVelocities[i] = velocities[i];
    }
    pose = newPose;
    wristPoint = KinMath::ToMatrix(arm).GetTranslation();
    // The wrist centre seen in the arm's own direction.
    const double wristFront = std::cos(q[0] * kDegToRad) * arm.t[0] + std::sin(q[0] * kDegToRad) * arm.t[1];
    PlanarArm::UpdateConfiguration(q[2], wristFront, elbowUp, armFront);
}

// ---- inverse kinematics ----

void RobotKinematicDravo4::LimitOrientation(DataTypes::Matrix44* flange) {
    Frame f = KinMath::FromMatrix(*flange);
    PlanarArm::LimitOrientation(f, PlanarArm::PlaneAzimuth(f, lz4), errorLogged);
    KinMath::ToMatrix(f, flange);
}

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

void RobotKinematicDravo4::ComputeA1toA3(const DataTypes::Matrix44& flange, float* out) {
    double q[3];
    SolveArm(KinMath::FromMatrix(flange), q);
    for (int i = 0; i < 3; ++i) out[i] = static_cast<float>(q[i]);
}

void RobotKinematicDravo4::InverseKinFrame(const Frame& f, double* q) {
    SolveArm(f, q);
    // R = M^-1·F: the flange's approach in the forearm's frame.
    const double a1 = q[0] * kDegToRad;
    const double a23 = (q[1] + q[2]) * kDegToRad;
    const double c1 = std::cos(a1), s1 = std::sin(a1);
    const double c23 = std::cos(a23), s23 = std::sin(a23);
    const double ax = c1 * f.r[0][2] + s1 * f.r[1][2];
    const double az = f.r[2][2];
    const double r02 = c23 * ax - s23 * az;
    const double r22 = s23 * ax + c23 * az;
    q[3] = NearestDeg(-std::atan2(-r02, r22) * kRadToDeg, joints[3]);
}

void RobotKinematicDravo4::InverseKin(const DataTypes::Matrix44& target, float* out) {
    const Frame f = KinMath::Mul(KinMath::FromMatrix(target), KinMath::FromMatrix(tool.inverseToolMatrix));
    double q[4];
    InverseKinFrame(f, q);
    float qf[4];
    for (int i = 0; i < 4; ++i) qf[i] = static_cast<float>(q[i]);
    for (int i = 0; i < nrOfJoints && i < 4; ++i) out[i] = qf[i];
    wristPoint = KinMath::ToMatrix(ArmFrame(qf)).GetTranslation();
}

void RobotKinematicDravo4::SetPosition(const DataTypes::Matrix44& target, float* extJoints) {
    CheckVirtualBox(target.GetTranslation(), pose.GetTranslation());
    DataTypes::Matrix44 p = target;
    SubtractLinearAxisPositionOffset(extJoints, p);
    Frame f = KinMath::Mul(KinMath::FromMatrix(p), KinMath::FromMatrix(tool.inverseToolMatrix));
    PlanarArm::LimitOrientation(f, PlanarArm::PlaneAzimuth(f, lz4), errorLogged);

    double solved[4];
    InverseKinFrame(f, solved);
    float q[maxJoints] = {};
    for (int i = 0; i < 4; ++i) q[i] = static_cast<float>(solved[i]);
    for (int i = 6; i < maxJoints; ++i) q[i] = extJoints[i];

    float velocities[maxJoints];
    for (int i = 0; i < maxJoints; ++i) velocities[i] = jointVelocities[i];
    CheckJointsPending(q, velocities);

    // The pose the arm takes: the limited orientation, with the flange's Y
    // axis as the arm turns it (the limit alone cannot tell front from back).
    DataTypes::Matrix44 reached;
    KinMath::ToMatrix(KinMath::Mul(FlangeFrame(q), KinMath::FromMatrix(tool.toolMatrix)), &reached);
    AddLinearAxisPositionOffset(q, reached);

    for (int i = 0; i < maxJoints; ++i) {
        joints[i] = q[i];
        jointVelocities[i] = velocities[i];
    }
    pose = reached;
    errorLogged = false;
}
