#include "kinematics/PlanarArm.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include <tinyxml2.h>

#include "common/LogSingleton.h"
#include "kinematics/KinematicLog.h"

using KinMath::Frame;
using KinMath::kRadToDeg;

namespace {

// Below this length a direction has no usable part in a plane.
constexpr double kMinDirection = 0.0001;

// Angle between two horizontal directions, folded into 0..pi/2 (a plane has no sign).
double FoldedAngle(double ax, double ay, double bx, double by) {
    double e = std::fabs(std::atan2(ax * by - ay * bx, ax * bx + ay * by));
    if (e > KinMath::kPi / 2) e = KinMath::kPi - e;
    return e;
}

}  // namespace

PlanarArm::PlanarArm(bool turnsAboutZ, int elbowJoint) : m_TurnsAboutZ(turnsAboutZ), m_ElbowJoint(elbowJoint) {}

PlanarArm::~PlanarArm() = default;

void PlanarArm::clone(RobotKinematic* from) {
    RobotKinematic::clone(from);
    auto* other = dynamic_cast<PlanarArm*>(from);
    if (other == nullptr || other == this) return;
    lz0 = other->lz0;
    lz1 = other->lz1;
    lz2 = other->lz2;
    lz3 = other->lz3;
    lz4 = other->lz4;
    singularityCenter = other->singularityCenter;
    singularityEllbow = other->singularityEllbow;
    wristPoint = other->wristPoint;
    elbowUp = other->elbowUp;
    armFront = other->armFront;
    errorLogged = other->errorLogged;
}

Frame PlanarArm::TurnedArmFrame(const float* q) const {
    // [Rz(q1) | (0, 0, lz0)]·[Ry(q2) | (0, 0, lz1)]·[Ry(q3) | (0, 0, lz2)]·Trans(0, 0, lz3)
    const double a1 = q[0] * KinMath::kDegToRad;
    const double a2 = q[1] * KinMath::kDegToRad;
    const double a23 = (static_cast<double>(q[1]) + q[2]) * KinMath::kDegToRad;
    const double front = lz2 * std::sin(a2) + lz3 * std::sin(a23);
    const double c1 = std::cos(a1), s1 = std::sin(a1);
    const double c23 = std::cos(a23), s23 = std::sin(a23);
    return Frame{{{c1 * c23, -s1, c1 * s23}, {s1 * c23, c1, s1 * s23}, {-s23, 0, c23}},
                 {front * c1, front * s1, static_cast<double>(lz0) + lz1 + lz2 * std::cos(a2) + lz3 * c23}};
}

DataTypes::Matrix44 PlanarArm::PoseOf(const float* q) const {
    return KinMath::ToMatrix(
        KinMath::Mul(KinMath::Mul(ArmFrame(q), WristFrame(q)), KinMath::FromMatrix(tool.toolMatrix)));
}

void PlanarArm::ArmSetJoints(const float* userJoints, bool check, bool commitAll) {
    float q[maxJoints];
    float velocities[maxJoints];
    UserToInternal(userJoints, q);
    if (check) {
        for (int i = 0; i < maxJoints; ++i) velocities[i] = jointVelocities[i];
        CheckJointsPending(q, velocities);
    }
    const Frame arm = ArmFrame(q);
    DataTypes::Matrix44 newPose = KinMath::ToMatrix(
        KinMath::Mul(KinMath::Mul(arm, WristFrame(q)), KinMath::FromMatrix(tool.toolMatrix)));
    AddLinearAxisPositionOffset(q, newPose);
    if (check) CheckVirtualBox(newPose.GetTranslation(), pose.GetTranslation());

    for (int i = 0; i < maxJoints; ++i) {
        if (!commitAll && i >= nrOfJoints && i < 6) continue;
        joints[i] = q[i];
        if (check) jointVelocities[i] = velocities[i];
    }
    pose = newPose;
    wristPoint = KinMath::ToMatrix(arm).GetTranslation();
    // The wrist centre seen in the arm's own direction.
    double wristFront = arm.t[0];
    if (m_TurnsAboutZ) {
        wristFront = std::cos(q[0] * KinMath::kDegToRad) * arm.t[0] + std::sin(q[0] * KinMath::kDegToRad) * arm.t[1];
    }
    UpdateConfiguration(q[m_ElbowJoint], wristFront, elbowUp, armFront);
}

void PlanarArm::ForwardKin(const float* q, DataTypes::Matrix44* out) {
    wristPoint = KinMath::ToMatrix(ArmFrame(q)).GetTranslation();
    *out = PoseOf(q);
}

void PlanarArm::ForwardKinJ1toJ3(const float* q, DataTypes::Matrix44* m) {
    KinMath::ToMatrix(ArmFrame(q), m);
    wristPoint = m->GetTranslation();
}

void PlanarArm::ForwardKinJ4toJ6(const float* q, DataTypes::Matrix44* w) { KinMath::ToMatrix(WristFrame(q), w); }

void PlanarArm::ComputeA1toA3(const DataTypes::Matrix44& flange, float* out) {
    double q[3];
    SolveArm(KinMath::FromMatrix(flange), q);
    for (int i = 0; i < 3; ++i) out[i] = static_cast<float>(q[i]);
}

void PlanarArm::LimitOrientation(DataTypes::Matrix44* flange) {
    Frame f = KinMath::FromMatrix(*flange);
    LimitOrientation(f, PlaneAzimuth(f, lz4), errorLogged);
    KinMath::ToMatrix(f, flange);
}

void PlanarArm::SolvePitch(const Frame& f, double* q, int pitch) const {
    float qf[maxJoints] = {};
    for (int i = 0; i < 3; ++i) qf[i] = static_cast<float>(q[i]);
    const Frame m = ArmFrame(qf);
    // R = M^-1·F; only its third column is needed.
    double r[3];
    for (int i = 0; i < 3; ++i) r[i] = m.r[0][i] * f.r[0][2] + m.r[1][i] * f.r[1][2] + m.r[2][i] * f.r[2][2];
    q[pitch] = KinMath::NearestDeg(-std::atan2(-r[0], r[2]) * kRadToDeg, joints[pitch]);
}

void PlanarArm::SolveTarget(const Frame& tcp, double* q) {
    Frame f = KinMath::Mul(tcp, KinMath::FromMatrix(tool.inverseToolMatrix));
    LimitOrientation(f, PlaneAzimuth(f, lz4), errorLogged);
    SolveArm(f, q);
    SolvePitch(f, q, nrOfJoints - 1);
}

void PlanarArm::InverseKin(const DataTypes::Matrix44& target, float* out) {
    const Frame f = KinMath::Mul(KinMath::FromMatrix(target), KinMath::FromMatrix(tool.inverseToolMatrix));
    double q[6] = {};
    SolveArm(f, q);
    SolvePitch(f, q, nrOfJoints - 1);
    float qf[maxJoints] = {};
    for (int i = 0; i < nrOfJoints && i < 6; ++i) out[i] = qf[i] = static_cast<float>(q[i]);
    wristPoint = KinMath::ToMatrix(ArmFrame(qf)).GetTranslation();
}

void PlanarArm::ArmSetPosition(const DataTypes::Matrix44& target, float* extJoints, bool commitAll,
                               bool storeReached) {
    CheckVirtualBox(target.GetTranslation(), pose.GetTranslation());
    DataTypes::Matrix44 p = target;
    SubtractLinearAxisPositionOffset(extJoints, p);

    double solved[6] = {};
    SolveTarget(KinMath::FromMatrix(p), solved);
    float q[maxJoints] = {};
    for (int i = 0; i < nrOfJoints && i < 6; ++i) q[i] = static_cast<float>(solved[i]);
    for (int i = 6; i < maxJoints; ++i) q[i] = extJoints[i];

    float velocities[maxJoints];
    for (int i = 0; i < maxJoints; ++i) velocities[i] = jointVelocities[i];
    CheckJointsPending(q, velocities);

    DataTypes::Matrix44 newPose = target;
    if (storeReached) {
        newPose = PoseOf(q);
        AddLinearAxisPositionOffset(q, newPose);
    }
    for (int i = 0; i < maxJoints; ++i) {
        if (!commitAll && i >= nrOfJoints && i < 6) continue;
        joints[i] = q[i];
        jointVelocities[i] = velocities[i];
    }
    pose = newPose;
    errorLogged = false;
}

void PlanarArm::InitLinkedArm(const std::string& robotFile, bool withIncrements, bool logSingularities) {
    LogSingleton* log = LogSingleton::instance();
    pose = DataTypes::Matrix44();
    pose.SetTranslation(0.0f, 0.0f, 300.0f);
    const float start[4] = {0, -20, 110, 0};
    for (int i = 0; i < nrOfJoints && i < 4; ++i) joints[i] = start[i];
    for (int i = 0; i < maxJoints; ++i) {
        maxJointVelocities[i] = 100;
        maxJointAccelerations[i] = 100;
        if (withIncrements) maxJointAccelerationIncs[i] = 100;
    }
    accLin = 1000;
    accLinInc = 2000;
    const float limits[3][2] = {{-150, 150}, {-40, 60}, {-120, 140}};
    for (int i = 0; i < 3; ++i) {
        jointLimits[i][0] = limits[i][0];
        jointLimits[i][1] = limits[i][1];
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

    ReadArmFile(robotFile, "52 Robot Ini not valid");

    KinematicLog::JointLines(*this, nrOfJoints);
    SetMinMaxValues(jointLimits);
    log->addFormat("   Joint length: lz0 %.1lf, lz1 %.1lf, lz2 %.1lf, lz3 %.1lf, lz4 %.1lf", lz0, lz1, lz2, lz3, lz4);
    if (logSingularities) {
        log->addFormat("   Singularities: Center %.1lf, Ellbow %.1lf", singularityCenter, singularityEllbow);
    }
    log->add(" ");
    errorLogged = false;
}

void PlanarArm::ReadArmFile(const std::string& robotFile, const char* reasonNotValid,
                            const std::function<void(tinyxml2::XMLElement*)>& kinematicExtra) {
    tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
    tinyxml2::XMLElement* robot = OpenRobotFile(doc, robotFile, reasonNotValid);
    if (robot == nullptr) return;
    if (tinyxml2::XMLElement* e = RequireElement(robot, "Kinematic", "54 Robot Ini not complete")) {
        ReadFloatAttribute(e, "lz0", lz0);
        ReadFloatAttribute(e, "lz1", lz1);
        ReadFloatAttribute(e, "lz2", lz2);
        ReadFloatAttribute(e, "lz3", lz3);
        ReadFloatAttribute(e, "lz4", lz4);
        if (kinematicExtra) kinematicExtra(e);
    }
    ReadSoftwareMinMax(robot);
    ReadIniFileVelocities(robot);
    ReadManufacturerJointConfig(robot);
    if (tinyxml2::XMLElement* e = RequireElement(robot, "SINGULARITIES", "59 Robot Ini not complete", true)) {
        ReadFloatAttribute(e, "Center", singularityCenter);
        ReadFloatAttribute(e, "Ellbow", singularityEllbow);
    }
}

void PlanarArm::Refuse(bool& errorLogged, int code, const std::string& text) {
    if (!errorLogged) {
        LogSingleton::instance()->addError(text);
        errorLogged = true;
    }
    throw code;
}

void PlanarArm::RefuseCentre(double px, double py, float center, bool& errorLogged) {
    char text[160];
    std::snprintf(text, sizeof(text), "Kinematic Error: too close to center axis! %.1lf %1.lf %1.lf", px, py,
                  static_cast<double>(center));
    Refuse(errorLogged, 21, text);
}

void PlanarArm::CheckCentre(double px, double py, float center, bool& errorLogged) {
    if (std::fabs(px) < center && std::fabs(py) < center) RefuseCentre(px, py, center, errorLogged);
}

void PlanarArm::SolveShoulderElbow(double r, double h, double upper, double fore, float ellbow, bool elbowUp,
                                   bool& errorLogged, double* shoulder, double* elbow) {
    const double d = std::sqrt(r * r + h * h);
    if (d > (upper + fore) - ellbow) Refuse(errorLogged, 22, kOutOfReach);
    const double beta = KinMath::AcosRounded((d * d - fore * fore + upper * upper) / (2.0 * d * upper));
    const double gamma = KinMath::AcosRounded((fore * fore - d * d + upper * upper) / (2.0 * fore * upper));
    // Closer to the shoulder than the folded arm reaches: no triangle.
    if (!std::isfinite(beta) || !std::isfinite(gamma)) Refuse(errorLogged, 22, kOutOfReach);
    // Elevation of the wrist centre; atan2 keeps its precision near vertical.
    const double alpha = std::atan2(h, r);
    if (elbowUp) {
        *shoulder = 90.0 - (alpha + beta) * kRadToDeg;
        *elbow = 180.0 - gamma * kRadToDeg;
    } else {
        *shoulder = (beta - alpha) * kRadToDeg + 90.0;
        *elbow = gamma * kRadToDeg - 180.0;
    }
}

void PlanarArm::UpdateConfiguration(double elbowJoint, double wristFront, bool& elbowUp, bool& armFront) {
    elbowUp = KinMath::WrapDeg(elbowJoint) >= 0.0;
    if (wristFront < 0.0) {
        armFront = false;
        elbowUp = !elbowUp;
    } else {
        armFront = true;
    }
}

double PlanarArm::PlaneAzimuth(const Frame& f, double wristDistance) {
    constexpr double kNearAxis = 10.0;  // mm
    if (std::hypot(f.t[0], f.t[1]) >= kNearAxis) return std::atan2(f.t[1], f.t[0]);
    const double wx = f.t[0] - f.r[0][2] * wristDistance;
    const double wy = f.t[1] - f.r[1][2] * wristDistance;
    if (std::hypot(wx, wy) > std::hypot(f.t[0], f.t[1])) return std::atan2(wy, wx);
    return std::atan2(f.t[1], f.t[0]);
}

void PlanarArm::ApproachInPlane(const Frame& f, double phi, bool& errorLogged, double a[3]) {
    const double c = std::cos(phi), s = std::sin(phi);
    // Rz(-phi)·approach, without its part across the plane.
    const double x = c * f.r[0][2] + s * f.r[1][2];
    const double z = f.r[2][2];
    const double n = std::sqrt(x * x + z * z);
    if (!(n >= kMinDirection)) {
        Refuse(errorLogged, 22, std::string(kOutOfReach) + ": approach direction across the arm plane");
    }
    a[0] = c * x / n;
    a[1] = s * x / n;
    a[2] = z / n;
}

void PlanarArm::LimitOrientation(Frame& f, double phi, bool& errorLogged) {
    double a[3];
    ApproachInPlane(f, phi, errorLogged, a);
    const double c = std::cos(phi), s = std::sin(phi);
    // In the plane's own frame: a' = (ax, 0, az), Y × a' = (az, 0, -ax), a' × (Y × a') = Y.
    const double ax = c * a[0] + s * a[1];
    const double az = a[2];
    const double x[3] = {c * az, s * az, -ax};
    const double y[3] = {-s, c, 0.0};
    for (int i = 0; i < 3; ++i) {
        f.r[i][0] = x[i];
        f.r[i][1] = y[i];
        f.r[i][2] = a[i];
    }
}

double PlanarArm::OffsetPlaneAzimuth(double px, double py, double lateral, double dx, double dy, float center,
                                     bool& errorLogged) {
    const double psi = std::atan2(py, px);
    if (lateral == 0.0) return psi;
    const double r = std::sqrt(px * px + py * py);
    if (!(r > std::fabs(lateral))) RefuseCentre(px, py, center, errorLogged);
    const double turn = std::asin(lateral / r);
    const double front = psi + turn;
    const double back = psi - turn;
    if (std::sqrt(dx * dx + dy * dy) < kMinDirection) return front;
    const double eFront = FoldedAngle(std::cos(front), std::sin(front), dx, dy);
    const double eBack = FoldedAngle(std::cos(back), std::sin(back), dx, dy);
    return eBack < eFront ? back : front;
}

double PlanarArm::OffsetPlaneError(double px, double py, double lateral, double dx, double dy) {
    const double r = std::sqrt(px * px + py * py);
    if (!(r > std::fabs(lateral)) || r == 0.0) return KinMath::kPi / 2;
    const double psi = std::atan2(py, px);
    const double turn = std::asin(lateral / r);
    const double front = psi + turn;
    const double back = psi - turn;
    return std::min(FoldedAngle(std::cos(front), std::sin(front), dx, dy),
                    FoldedAngle(std::cos(back), std::sin(back), dx, dy));
}
