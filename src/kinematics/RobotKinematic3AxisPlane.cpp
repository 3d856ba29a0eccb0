#include "kinematics/RobotKinematic3AxisPlane.h"

#include <cmath>
#include <tinyxml2.h>

#include "common/LogSingleton.h"
#include "kinematics/KinematicLog.h"
#include "kinematics/PlanarArm.h"

using KinMath::Frame;
using KinMath::kDegToRad;
using KinMath::kRadToDeg;
using KinMath::NearestDeg;

RobotKinematic3AxisPlane::RobotKinematic3AxisPlane() {
    kinematicTypeName = "RobotKinematic3AxisPlane";
    nrOfJoints = 3;
    for (int i = 0; i < 4; ++i) joints[i] = 10;
}

RobotKinematic3AxisPlane::~RobotKinematic3AxisPlane() = default;

void RobotKinematic3AxisPlane::clone(RobotKinematic* from) {
    RobotKinematic::clone(from);
    auto* other = dynamic_cast<RobotKinematic3AxisPlane*>(from);
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

    pose = DataTypes::Matrix44();
    pose.SetTranslation(0.0f, 0.0f, 300.0f);
    joints[0] = 0;
    joints[1] = -20;
    joints[2] = 110;
    for (int i = 0; i < maxJoints; ++i) {
        maxJointVelocities[i] = 100;
        maxJointAccelerations[i] = 100;
        maxJointAccelerationIncs[i] = 100;
    }
    accLin = 1000;
    accLinInc = 2000;
    jointLimits[0][0] = -150;
    jointLimits[0][1] = 150;
    jointLimits[1][0] = -40;
    jointLimits[1][1] = 60;
    jointLimits[2][0] = -120;
    jointLimits[2][1] = 140;
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

    KinematicLog::JointLines(*this, nrOfJoints);
    SetMinMaxValues(jointLimits);
    log->addFormat("   Joint length: lz0 %.1lf, lz1 %.1lf, lz2 %.1lf, lz3 %.1lf, lz4 %.1lf", lz0, lz1, lz2, lz3, lz4);
    log->add(" ");
    errorLogged = false;
}

void RobotKinematic3AxisPlane::ReadIniFile(const std::string& robotFile) {
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

Frame RobotKinematic3AxisPlane::ArmFrame(const float* q) const {
    // Trans(0, 0, lz0 + lz1)·Ry(q1)·Trans(0, 0, lz2)·Ry(q2)·Trans(0, 0, lz3)
    const double a1 = q[0] * kDegToRad;
    const double a12 = (static_cast<double>(q[0]) + q[1]) * kDegToRad;
    return KinMath::RotY(a12, lz2 * std::sin(a1) + lz3 * std::sin(a12), 0.0,
                         static_cast<double>(lz0) + lz1 + lz2 * std::cos(a1) + lz3 * std::cos(a12));
}

Frame RobotKinematic3AxisPlane::FlangeFrame(const float* q) const {
    const Frame arm = ArmFrame(q);
    const double a = (static_cast<double>(q[0]) + q[1] + q[2]) * kDegToRad;
    return KinMath::RotY(a, arm.t[0] + lz4 * std::sin(a), 0.0, arm.t[2] + lz4 * std::cos(a));
}

void RobotKinematic3AxisPlane::ForwardKin(const float* q, DataTypes::Matrix44* out) {
    const Frame arm = ArmFrame(q);
    wristPoint = DataTypes::Vector3(static_cast<float>(arm.t[0]), 0.0f, static_cast<float>(arm.t[2]));
    KinMath::ToMatrix(KinMath::Mul(FlangeFrame(q), KinMath::FromMatrix(tool.toolMatrix)), out);
}

void RobotKinematic3AxisPlane::ForwardKinJ1toJ3(const float* q, DataTypes::Matrix44* m) {
    const Frame arm = ArmFrame(q);
    KinMath::ToMatrix(arm, m);
    wristPoint = m->GetTranslation();
}

void RobotKinematic3AxisPlane::ForwardKinJ4toJ6(const float* q, DataTypes::Matrix44* w) {
    KinMath::ToMatrix(KinMath::RotY(q[2] * kDegToRad, lz4 * std::sin(q[2] * kDegToRad), 0.0,
                                    lz4 * std::cos(q[2] * kDegToRad)),
                      w);
}

void RobotKinematic3AxisPlane::SetJoints(const float* userJoints, bool check) {
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

    CommitJoints(q, check ? velocities : nullptr);
    pose = newPose;
    wristPoint = DataTypes::Vector3(static_cast<float>(arm.t[0]), 0.0f, static_cast<float>(arm.t[2]));
    PlanarArm::UpdateConfiguration(q[1], arm.t[0], elbowUp, armFront);
}

// ---- inverse kinematics ----

void RobotKinematic3AxisPlane::LimitOrientation(DataTypes::Matrix44* flange) {
    Frame f = KinMath::FromMatrix(*flange);
    PlanarArm::LimitOrientation(f, PlanarArm::PlaneAzimuth(f, lz4), errorLogged);
    KinMath::ToMatrix(f, flange);
}

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

void RobotKinematic3AxisPlane::ComputeA1toA3(const DataTypes::Matrix44& flange, float* out) {
    double q[2];
    SolveArm(KinMath::FromMatrix(flange), q);
    out[0] = static_cast<float>(q[0]);
    out[1] = static_cast<float>(q[1]);
}

void RobotKinematic3AxisPlane::InverseKinFrame(const Frame& f, double* q) {
    SolveArm(f, q);
    // The wrist turns what is left of the flange's pitch: R = M^-1·F about Y.
    const double a12 = (q[0] + q[1]) * kDegToRad;
    const double c = std::cos(a12), s = std::sin(a12);
    const double r02 = c * f.r[0][2] - s * f.r[2][2];
    const double r22 = s * f.r[0][2] + c * f.r[2][2];
    q[2] = NearestDeg(-std::atan2(-r02, r22) * kRadToDeg, joints[2]);
}

void RobotKinematic3AxisPlane::InverseKin(const DataTypes::Matrix44& target, float* out) {
    const Frame f = KinMath::Mul(KinMath::FromMatrix(target), KinMath::FromMatrix(tool.inverseToolMatrix));
    double q[3];
    InverseKinFrame(f, q);
    for (int i = 0; i < 3; ++i) out[i] = static_cast<float>(q[i]);
    DataTypes::Matrix44 arm;
    const float qf[3] = {out[0], out[1], out[2]};
    ForwardKinJ1toJ3(qf, &arm);
}

void RobotKinematic3AxisPlane::SetPosition(const DataTypes::Matrix44& target, float* extJoints) {
    CheckVirtualBox(target.GetTranslation(), pose.GetTranslation());
    DataTypes::Matrix44 p = target;
    SubtractLinearAxisPositionOffset(extJoints, p);
    Frame f = KinMath::Mul(KinMath::FromMatrix(p), KinMath::FromMatrix(tool.inverseToolMatrix));
    PlanarArm::LimitOrientation(f, PlanarArm::PlaneAzimuth(f, lz4), errorLogged);

    double solved[3];
    InverseKinFrame(f, solved);
    float q[maxJoints] = {};
    for (int i = 0; i < 3; ++i) q[i] = static_cast<float>(solved[i]);
    for (int i = 6; i < maxJoints; ++i) q[i] = extJoints[i];

    float velocities[maxJoints];
    for (int i = 0; i < maxJoints; ++i) velocities[i] = jointVelocities[i];
    CheckJointsPending(q, velocities);

    CommitJoints(q, velocities);
    pose = target;
    errorLogged = false;
}
