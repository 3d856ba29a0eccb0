#include "kinematics/RobotKinematicSixAxis.h"

#include <cmath>
#include <tinyxml2.h>

#include "common/LogSingleton.h"
#include "common/StringHelper.h"
#include "kinematics/KinMath.h"

namespace {

using KinMath::AcosRounded;
using KinMath::Frame;
using KinMath::FromMatrix;
using KinMath::kDegToRad;
using KinMath::kPi;
using KinMath::kRadToDeg;
using KinMath::Mul;
using KinMath::NearestDeg;
using KinMath::ToMatrix;
using KinMath::WrapDeg;

// A1..A3 frame (translation = wrist centre) and the wrist centre's radial
// distance in front of the A1 axis, q in degrees.
struct ArmGeometry {
    double lz0, lx1, lz1, lx2, lx3, lz3, lx4, lx6;
};

Frame ArmFrame(const ArmGeometry& g, const float* q, double* wristFront) {
    const double a1 = q[0] * kDegToRad;
    const double a2 = q[1] * kDegToRad;
    const double phi = (static_cast<double>(q[1]) + q[2]) * kDegToRad;
    const double c1 = std::cos(a1), s1 = std::sin(a1);
    const double s2 = std::sin(a2), c2 = std::cos(a2);
    const double cp = std::cos(phi), sp = std::sin(phi);
    const double lx34 = g.lx3 + g.lx4;
    const double rw = g.lx1 + g.lx2 * s2 - g.lz3 * cp + lx34 * sp;
    const double zw = g.lz0 + g.lz1 + g.lx2 * c2 + g.lz3 * sp + lx34 * cp;
    Frame f;
    f.r[0][0] = c1 * cp; f.r[0][1] = -s1; f.r[0][2] = c1 * sp;
    f.r[1][0] = s1 * cp; f.r[1][1] = c1;  f.r[1][2] = s1 * sp;
    f.r[2][0] = -sp;     f.r[2][1] = 0;   f.r[2][2] = cp;
    f.t[0] = rw * c1;
    f.t[1] = rw * s1;
    f.t[2] = zw;
    if (wristFront != nullptr) *wristFront = rw;
    return f;
}

// Rz(q4)·Ry(q5)·Rz(q6)·Trans(0, 0, lx6).
Frame WristFrame(double lx6, const float* q) {
    const double a = q[3] * kDegToRad, b = q[4] * kDegToRad, c = q[5] * kDegToRad;
    const double ca = std::cos(a), sa = std::sin(a);
    const double cb = std::cos(b), sb = std::sin(b);
    const double cc = std::cos(c), sc = std::sin(c);
    Frame f;
    f.r[0][0] = ca * cb * cc - sa * sc; f.r[0][1] = -ca * cb * sc - sa * cc; f.r[0][2] = ca * sb;
    f.r[1][0] = sa * cb * cc + ca * sc; f.r[1][1] = -sa * cb * sc + ca * cc; f.r[1][2] = sa * sb;
    f.r[2][0] = -sb * cc;               f.r[2][1] = sb * sc;                f.r[2][2] = cb;
    for (int i = 0; i < 3; ++i) f.t[i] = f.r[i][2] * lx6;
    return f;
}

}  // namespace

RobotKinematicSixAxis::RobotKinematicSixAxis() {
    nrOfJoints = 6;
    kinematicTypeName = "RobotKinematicSixAxis";
    joints[1] = 30;
    joints[2] = 40;
    zOffset = 0;
    jointOffsets[2] = 90;
}

RobotKinematicSixAxis::~RobotKinematicSixAxis() = default;

void RobotKinematicSixAxis::clone(RobotKinematic* from) {
    RobotKinematic::clone(from);
    auto* other = dynamic_cast<RobotKinematicSixAxis*>(from);
    if (other == nullptr || other == this) return;
    lz0 = other->lz0;
    lx1 = other->lx1;
    lz1 = other->lz1;
    lx2 = other->lx2;
    lx3 = other->lx3;
    lz3 = other->lz3;
    lx4 = other->lx4;
    lx6 = other->lx6;
    errorLogged = other->errorLogged;
    armFront = other->armFront;
    elbowUp = other->elbowUp;
    wristFlipped = other->wristFlipped;
    wristAngular = other->wristAngular;
    wristDifferential = other->wristDifferential;
    wristPoint = other->wristPoint;
    singularityCenter = other->singularityCenter;
    singularityEllbow = other->singularityEllbow;
    singularityWrist = other->singularityWrist;
    forearmAngle = other->forearmAngle;
}

RobotKinematic* RobotKinematicSixAxis::clone() {
    auto* copy = new RobotKinematicSixAxis();
    copy->clone(this);
    return copy;
}

void RobotKinematicSixAxis::AdaptJointsToMotors(float* v) {
    if (!wristDifferential) return;
    const float a5 = v[4], a6 = v[5];
    v[4] = a5 - a6;
    v[5] = a5 + a6;
}

void RobotKinematicSixAxis::AdaptMotorsToJoints(float* v) {
    if (!wristDifferential) return;
    // Exact inverse of AdaptJointsToMotors.
    const float m5 = v[4], m6 = v[5];
    v[4] = (m5 + m6) * 0.5f;
    v[5] = (m6 - m5) * 0.5f;
}

void RobotKinematicSixAxis::Init(const std::string& name, const std::string& type, const std::string& robotFile,
                                 int velSet) {
    RobotKinematic::Init(name, type, robotFile, velSet);
    LogSingleton* log = LogSingleton::instance();
    log->add(" ");
    log->addFormat("RKSixAxis %s / %s  - Kinematic Data: ", robotName, robotType);

    pose = DataTypes::Matrix44();
    pose.SetTranslation(400.0f, 50.0f, 300.0f);
    for (int i = 0; i < 6; ++i) {
        maxJointVelocities[i] = 20;
        maxJointAccelerations[i] = 500;
    }
    jointLimits[0][0] = -120;
    jointLimits[0][1] = 120;
    jointLimits[1][0] = -180;
    jointLimits[1][1] = 100;
    for (int i = 2; i < 6; ++i) {
        jointLimits[i][0] = -180;
        jointLimits[i][1] = 180;
    }

    ReadIniFile(robotFile);

    for (int i = 0; i < nrOfJoints; ++i) {
        log->addFormat("   Joint %d: Min %.1lf Max %.1lf MaxVel %.1lf MaxAcc %.1lf JointOffset %.1lf JointDirection %.1lf",
                       i, jointLimits[i][0], jointLimits[i][1], maxJointVelocities[i], maxJointAccelerations[i],
                       jointOffsets[i], jointDirections[i]);
    }
    for (int j = 0; j < 3; ++j) {
        if (!extAxisPresent[j]) continue;
        const int i = 6 + j;
        log->addFormat("   ExtJoint %d: Min %.1lf Max %.1lf MaxVel %.1lf JointOffset %.1lf JointDirection %.1lf", j + 1,
                       jointLimits[i][0], jointLimits[i][1], maxJointVelocities[i], jointOffsets[i], jointDirections[i]);
    }
    SetMinMaxValues(jointLimits);
    log->addFormat("   Joint length: lz0 %.1lf, lx1 %.1lf, lz1 %.1lf, lx2 %.1lf, lx3 %.1lf, lz3 %.1lf, lx4 %.1lf, lx6 %.1lf",
                   lz0, lx1, lz1, lx2, lx3, lz3, lx4, lx6);
    log->addFormat("   Singularities: Center %.1lf, Ellbow %.1lf Wrist %.1lf", singularityCenter, singularityEllbow,
                   singularityWrist);
    log->add(" ");
    forearmAngle = std::atan(lz3 / (lx3 + lx4));
    errorLogged = false;
}

void RobotKinematicSixAxis::ReadIniFile(const std::string& robotFile) {
    tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
    tinyxml2::XMLElement* robot = OpenRobotFile(doc, robotFile);
    if (robot == nullptr) return;

    if (tinyxml2::XMLElement* e = RequireElement(robot, "Kinematic", "54 Robot Ini not complete")) {
        ReadFloatAttribute(e, "lz0", lz0);
        ReadFloatAttribute(e, "lx1", lx1);
        ReadFloatAttribute(e, "lz1", lz1);
        ReadFloatAttribute(e, "lx2", lx2);
        ReadFloatAttribute(e, "lx3", lx3);
        ReadFloatAttribute(e, "lz3", lz3);
        ReadFloatAttribute(e, "lx4", lx4);
        ReadFloatAttribute(e, "lx6", lx6);
        if (const char* wrist = e->Attribute("Wrist")) {
            const std::string kind = StringHelper::ToLower(wrist);
            if (kind == "angular") wristAngular = true;
            if (kind == "differential") wristDifferential = true;
        }
    }
    ReadSoftwareMinMax(robot);
    ReadIniFileVelocities(robot);
    ReadManufacturerJointConfig(robot);
    if (tinyxml2::XMLElement* e = RequireElement(robot, "SINGULARITIES", "59 Robot Ini not complete", true)) {
        ReadFloatAttribute(e, "Wrist", singularityWrist);
        ReadFloatAttribute(e, "Center", singularityCenter);
        ReadFloatAttribute(e, "Ellbow", singularityEllbow);
    }
}

// ---- forward kinematics ----

void RobotKinematicSixAxis::ForwardKinInternal(const float* q, DataTypes::Matrix44* out, DataTypes::Vector3* wrist,
                                               double* wristFront) const {
    const ArmGeometry g{lz0, lx1, lz1, lx2, lx3, lz3, lx4, lx6};
    const Frame arm = ArmFrame(g, q, wristFront);
    if (wrist != nullptr) {
        *wrist = DataTypes::Vector3(static_cast<float>(arm.t[0]), static_cast<float>(arm.t[1]),
                                    static_cast<float>(arm.t[2]));
    }
    const Frame flange = Mul(arm, WristFrame(lx6, q));
    ToMatrix(Mul(flange, FromMatrix(tool.toolMatrix)), out);
}

void RobotKinematicSixAxis::ForwardKin(const float* q, DataTypes::Matrix44* out) {
    ForwardKinInternal(q, out, &wristPoint, nullptr);
}

void RobotKinematicSixAxis::ForwardKinJ1toJ3(const float* q, DataTypes::Matrix44* m) {
    const ArmGeometry g{lz0, lx1, lz1, lx2, lx3, lz3, lx4, lx6};
    const Frame arm = ArmFrame(g, q, nullptr);
    ToMatrix(arm, m);
    wristPoint = DataTypes::Vector3(static_cast<float>(arm.t[0]), static_cast<float>(arm.t[1]),
                                    static_cast<float>(arm.t[2]));
}

void RobotKinematicSixAxis::ForwardKinJ4toJ6(const float* q, DataTypes::Matrix44* w) {
    ToMatrix(WristFrame(lx6, q), w);
}

void RobotKinematicSixAxis::UpdateConfigurationFlags(const float* q, double wristFront) {
    // The elbow is stretched where A3 equals the forearm's own angle.
    elbowUp = WrapDeg(q[2] - forearmAngle * kRadToDeg) >= 0.0;
    wristFlipped = WrapDeg(q[4]) <= 0.0;
    if (wristFront < 0.0) {
        armFront = false;
        elbowUp = !elbowUp;
    } else {
        armFront = true;
    }
}

void RobotKinematicSixAxis::SetJoints(const float* userJoints, bool check) {
    float q[maxJoints];
    float velocities[maxJoints];
    UserToInternal(userJoints, q);
    if (check) {
        for (int i = 0; i < maxJoints; ++i) velocities[i] = jointVelocities[i];
        CheckJointsPending(q, velocities);
    }
    DataTypes::Matrix44 newPose;
    DataTypes::Vector3 wrist;
    double wristFront = 0;
    ForwardKinInternal(q, &newPose, &wrist, &wristFront);
    AddLinearAxisPositionOffset(q, newPose);
    // Report the pose in the frame of SetPosition's targets, which are raised by zOffset.
    newPose(2, 3) -= zOffset;
    if (check) CheckVirtualBox(newPose.GetTranslation(), pose.GetTranslation());

    CommitJoints(q, check ? velocities : nullptr);
    pose = newPose;
    wristPoint = wrist;
    UpdateConfigurationFlags(q, wristFront);
}

// ---- inverse kinematics ----

void RobotKinematicSixAxis::SetPosition(const DataTypes::Matrix44& target, float* extJoints) {
    CheckVirtualBox(target.GetTranslation(), pose.GetTranslation());
    DataTypes::Matrix44 base = target;
    base(2, 3) += zOffset;
    SubtractLinearAxisPositionOffset(extJoints, base);

    float q[maxJoints];
    for (int i = 0; i < maxJoints; ++i) q[i] = joints[i];
    InverseKinInternal(base, q);
    for (int i = 6; i < maxJoints; ++i) q[i] = extJoints[i];

    float velocities[maxJoints];
    for (int i = 0; i < maxJoints; ++i) velocities[i] = jointVelocities[i];
    CheckJointsPending(q, velocities);

    CommitJoints(q, velocities);
    pose = target;
    errorLogged = false;
}

void RobotKinematicSixAxis::InverseKin(const DataTypes::Matrix44& target, float* q) {
    InverseKinInternal(target, q);
}

void RobotKinematicSixAxis::InverseKinInternal(const DataTypes::Matrix44& target, float* out) {
    const Frame flangeFrame = Mul(FromMatrix(target), FromMatrix(tool.inverseToolMatrix));
    DataTypes::Matrix44 flange;
    ToMatrix(flangeFrame, &flange);
    float q[6];
    ComputeA1toA3(flange, q);
    DataTypes::Matrix44 arm;
    ForwardKinJ1toJ3(q, &arm);
    ComputeA4toA6(flange, arm, q);
    for (int i = 0; i < nrOfJoints && i < 6; ++i) out[i] = q[i];
}

void RobotKinematicSixAxis::ComputeA1toA3(const DataTypes::Matrix44& f, float* q) {
    LogSingleton* log = LogSingleton::instance();
    const double px = f(0, 3) - static_cast<double>(f(0, 2)) * lx6;
    const double py = f(1, 3) - static_cast<double>(f(1, 2)) * lx6;
    const double pz = f(2, 3) - static_cast<double>(f(2, 2)) * lx6 - (static_cast<double>(lz0) + lz1);

    if (std::fabs(px) < singularityCenter && std::fabs(py) < singularityCenter) {
        if (!errorLogged) {
            log->addErrorFormat("Kinematic Error: too close to center axis! %.1lf %1.lf %1.lf", px, py,
                                static_cast<double>(singularityCenter));
            errorLogged = true;
        }
        throw 21;
    }
    const double a1 = std::atan2(py, px);
    double r = std::sqrt(px * px + py * py);
    r = armFront ? r - lx1 : r + lx1;

    const double d = std::sqrt(r * r + pz * pz);
    if ((static_cast<double>(lx2) + lx3 + lx4) - singularityEllbow < d) {
        if (!errorLogged) {
            log->addError("InvKin: OutofReach");
            errorLogged = true;
        }
        throw 22;
    }
    const double lx34 = static_cast<double>(lx3) + lx4;
    const double L2 = lx34 * lx34 + static_cast<double>(lz3) * lz3;
    const double L = std::sqrt(L2);
    const double u = lx2;
    const double beta = AcosRounded((d * d - L2 + u * u) / (2.0 * d * u));
    const double gamma = AcosRounded((L2 - d * d + u * u) / (2.0 * L * u));
    const double psi = forearmAngle;

    // Direction of the wrist centre seen from the shoulder, from vertical towards the front.
    const double lambda = std::atan2(r, pz);
    double q1 = a1 * kRadToDeg;
    double q2 = (elbowUp ? lambda - beta : lambda + beta) * kRadToDeg;
    double q3 = elbowUp ? 180.0 - (gamma - psi) * kRadToDeg : (gamma + psi) * kRadToDeg - 180.0;
    if (!armFront) {
        q1 += 180.0;
        if (q1 > 180.0) q1 -= 360.0;
        q2 = -q2;
        // Mirroring the arm plane mirrors the forearm's own angle as well.
        q3 = -q3 + 2.0 * psi * kRadToDeg;
    }
    q[0] = static_cast<float>(NearestDeg(q1, joints[0]));
    q[1] = static_cast<float>(NearestDeg(q2, joints[1]));
    q[2] = static_cast<float>(NearestDeg(q3, joints[2]));
}

void RobotKinematicSixAxis::ComputeA4toA6(const DataTypes::Matrix44& f, const DataTypes::Matrix44& m, float* q) {
    // R = M^-1 · F; M is rigid, so its inverse rotation is the transpose.
    double R[3][3];
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            R[i][j] = static_cast<double>(m(0, i)) * f(0, j) + static_cast<double>(m(1, i)) * f(1, j) +
                      static_cast<double>(m(2, i)) * f(2, j);
        }
    }
    const double s = std::sqrt(R[0][2] * R[0][2] + R[1][2] * R[1][2]);
    if (s < std::tan(singularityWrist * 0.017453292)) {
        if (!errorLogged) {
            LogSingleton::instance()->addError("InvKin: HandSingularity: " + std::to_string(s));
            errorLogged = true;
        }
        throw 23;
    }
    double a4 = -std::atan2(R[1][2], -R[0][2]);
    const double c4 = std::cos(a4), s4 = std::sin(a4);
    // R' = Rz(-a4)·R
    const double r00 = c4 * R[0][0] + s4 * R[1][0];
    const double r02 = c4 * R[0][2] + s4 * R[1][2];
    const double r10 = -s4 * R[0][0] + c4 * R[1][0];
    const double r20 = R[2][0];
    const double r22 = R[2][2];
    double a5 = -std::atan2(-r02, r22);
    // R'' = Ry(-a5)·R'
    const double c5 = std::cos(a5), s5 = std::sin(a5);
    const double rr00 = c5 * r00 - s5 * r20;
    const double rr10 = r10;
    double a6 = std::atan2(rr10, rr00);

    if ((wristFlipped && a5 > 0) || (!wristFlipped && a5 < 0)) {
        a4 = a4 > 0 ? a4 - kPi : a4 + kPi;
        a5 = -a5;
        a6 = a6 > 0 ? a6 - kPi : a6 + kPi;
    }
    q[3] = static_cast<float>(NearestDeg(a4 * kRadToDeg, joints[3]));
    q[4] = static_cast<float>(NearestDeg(a5 * kRadToDeg, joints[4]));
    q[5] = static_cast<float>(NearestDeg(a6 * kRadToDeg, joints[5]));
}
