#include "kinematics/RobotKinematicDravo5.h"

#include <cmath>
#include <stdexcept>
#include <tinyxml2.h>

#include "common/LogSingleton.h"
#include "common/StringHelper.h"
#include "kinematics/KinematicLog.h"
#include "kinematics/PlanarArm.h"

using KinMath::Frame;
using KinMath::kDegToRad;
using KinMath::kPi;
using KinMath::kRadToDeg;
using KinMath::NearestDeg;

namespace {

// Below this length a column or a horizontal direction counts as zero.
constexpr double kMinDirection = 0.0001;

void Cross(const double a[3], const double b[3], double out[3]) {
    out[0] = a[1] * b[2] - a[2] * b[1];
    out[1] = a[2] * b[0] - a[0] * b[2];
    out[2] = a[0] * b[1] - a[1] * b[0];
}

}  // namespace

RobotKinematicDravo5::RobotKinematicDravo5() : PlanarArm(true, 2) {
    kinematicTypeName = "RobotKinematicDravo5";
    lz0 = 122.15f;
    lz1 = 76.3f;
    lz2 = 350;
    lz3 = 45;
    lz4 = 0;
    singularityCenter = 100;
    singularityEllbow = 20;
    nrOfJoints = 5;
    tcpXDirToFront = false;
    joints[1] = 30;
    joints[2] = 40;
    zOffset = 0;
    jointOffsets[2] = 90;
}

RobotKinematicDravo5::~RobotKinematicDravo5() = default;

void RobotKinematicDravo5::clone(RobotKinematic* from) {
    PlanarArm::clone(from);
    auto* other = dynamic_cast<RobotKinematicDravo5*>(from);
    if (other == nullptr || other == this) return;
    wristRedundancyHandling = other->wristRedundancyHandling;
    toolCompState = 0;
    lz5 = other->lz5;
    ly0 = other->ly0;
}

RobotKinematic* RobotKinematicDravo5::clone() {
    auto* copy = new RobotKinematicDravo5();
    copy->clone(this);
    return copy;
}

void RobotKinematicDravo5::Init(const std::string& name, const std::string& type, const std::string& robotFile,
                                int velSet) {
    RobotKinematic::Init(name, type, robotFile, velSet);
    LogSingleton* log = LogSingleton::instance();
    log->add(" ");
    log->addFormat("RK5Axis %s / %s  - Kinematic Data: ", robotName, robotType);
    SetArmStartDefaults();
    accLin = 1000;
    accLinInc = 2000;

    ReadIniFile(robotFile);

    KinematicLog::JointLines(*this, nrOfJoints);
    SetMinMaxValues(jointLimits);
    log->addFormat("   Joint length: lz0 %.1lf, lz1 %.1lf, lz2 %.1lf, lz3 %.1lf, lz4 %.1lf, lz5 %.1lf, ly0 %.1lf", lz0, lz1,
                   lz2, lz3, lz4, lz5, ly0);
    log->addFormat("   Singularities: Center %.1lf, Ellbow %.1lf", singularityCenter, singularityEllbow);
    const std::string where = " - Change in robot ini file, line \"Kinematic\", tag \"TCPXDirToFront\"";
    if (tcpXDirToFront) {
        log->add("TCP X-Direction points forwards (not compatible with old programs)" + where);
    } else {
        log->add("TCP X-Direction points backwards (legacy setting)" + where);
    }
    log->add(" ");
    errorLogged = false;
}

void RobotKinematicDravo5::ReadIniFile(const std::string& robotFile) {
    ReadArmFile(robotFile, "52 Robot Ini not correct", [this](tinyxml2::XMLElement* e) {
        ReadFloatAttribute(e, "lz5", lz5);
        ReadFloatAttribute(e, "ly0", ly0);
        e->QueryBoolAttribute("TCPXDirToFront", &tcpXDirToFront);
        wristRedundancyHandling = 0;
        if (const char* handling = e->Attribute("WristRedundancyHandling")) {
            if (StringHelper::ToLower(handling) == "type2") wristRedundancyHandling = 1;
        }
        LogSingleton::instance()->add(wristRedundancyHandling == 1
                                          ? "RobotKinematicDravo5: Wrist redundancy handling: type2"
                                          : "RobotKinematicDravo5: Wrist redundancy handling: standard");
    });
}

// ---- forward kinematics ----

Frame RobotKinematicDravo5::ArmFrame(const float* q) const { return TurnedArmFrame(q); }

Frame RobotKinematicDravo5::WristFrame(const float* q) const {
    // [Ry(q4) | (0, -ly0, 0)]·Rz(q5')·Trans(0, 0, lz4 + lz5)
    const double a5 = (tcpXDirToFront ? static_cast<double>(q[4]) - 180.0 : q[4]) * kDegToRad;
    Frame w = KinMath::Mul(KinMath::RotY(q[3] * kDegToRad, 0.0, -static_cast<double>(ly0), 0.0), KinMath::RotZ(a5));
    const double l = static_cast<double>(lz4) + lz5;
    for (int i = 0; i < 3; ++i) w.t[i] += w.r[i][2] * l;
    return w;
}

void RobotKinematicDravo5::SetJoints(const float* userJoints, bool check) {
    toolCompState = 2;
    ArmSetJoints(userJoints, check, true);
}

// ---- orientation limits ----

Frame RobotKinematicDravo5::StandardFlange(const Frame& target) {
    Frame m = target;
    // The vertical plane through the tool centre point that lies ly0 beside
    // the base axis (with ly0 = 0, the plane through the base axis).
    const double phi =
        PlanarArm::OffsetPlaneAzimuth(m.t[0], m.t[1], ly0, m.r[0][2], m.r[1][2], singularityCenter, errorLogged);
    double a[3];
    PlanarArm::ApproachInPlane(m, phi, errorLogged, a);
    // The turn about the approach follows the requested Y axis.
    const double y[3] = {m.r[0][1], m.r[1][1], m.r[2][1]};
    double x[3];
    Cross(y, a, x);
    const double n = std::sqrt(x[0] * x[0] + x[1] * x[1] + x[2] * x[2]);
    if (!(n >= kMinDirection)) {
        PlanarArm::Refuse(errorLogged, 22, std::string(PlanarArm::kOutOfReach) + ": Y axis along the approach");
    }
    for (double& v : x) v /= n;
    double yy[3];
    Cross(a, x, yy);
    for (int i = 0; i < 3; ++i) {
        m.r[i][0] = x[i];
        m.r[i][1] = yy[i];
        m.r[i][2] = a[i];
    }
    return KinMath::Mul(m, KinMath::FromMatrix(tool.inverseToolMatrix));
}

Frame RobotKinematicDravo5::Turned(double angle, const Frame& p) const {
    Frame g = p;
    for (int c = 0; c < 3; ++c) {
        const double n = std::sqrt(g.r[0][c] * g.r[0][c] + g.r[1][c] * g.r[1][c] + g.r[2][c] * g.r[2][c]);
        if (!(n > kMinDirection)) throw std::runtime_error("Tried to normalize matrix with zero column");
        for (int r = 0; r < 3; ++r) g.r[r][c] /= n;
    }
    Frame turned = KinMath::Mul(KinMath::RotZ(angle), g);
    for (int i = 0; i < 3; ++i) turned.t[i] = p.t[i];
    return turned;
}

double RobotKinematicDravo5::ErrorForAngle(double angle, const Frame& p) const {
    const Frame h = KinMath::Mul(Turned(angle, p), KinMath::FromMatrix(tool.inverseToolMatrix));
    // The flange and the point lz4 + lz5 back along its approach lie on one
    // horizontal line; the one farther from the axis tells the line's
    // direction from the axis with the better precision.
    const double l = static_cast<double>(lz4) + lz5;
    double px = h.t[0], py = h.t[1];
    const double bx = px - h.r[0][2] * l, by = py - h.r[1][2] * l;
    if (std::hypot(bx, by) > std::hypot(px, py)) {
        px = bx;
        py = by;
    }
    return PlanarArm::OffsetPlaneError(px, py, ly0, h.r[0][2], h.r[1][2]);
}

Frame RobotKinematicDravo5::Type2Flange(const Frame& target) {
    const Frame tcpToFlange = KinMath::FromMatrix(tool.inverseToolMatrix);
    const Frame f = KinMath::Mul(target, tcpToFlange);
    const double hx = f.r[0][2], hy = f.r[1][2];
    if (hx * hx + hy * hy < 0.0001) {
        toolCompState = 1;
        return f;
    }
    if (toolCompState == 0) toolCompState = 2;
    if (toolCompState == 1) {
        throw std::runtime_error(
            "ToolComp type2: cannot change from upright motion to free motion. Please use joint command in between!");
    }
    double angle = 0;
    double step = 0.17453292384743690;
    double bestAngle = 0;
    double bestError = 9999999.9;
    double bestErrorDeg = 99999.9;
    double lastError = 999999.9;
    for (int i = 0; i <= 100 && bestErrorDeg > 0.005; ++i) {
        const double e = ErrorForAngle(angle, target);
        const double eDeg = e * 57.295780181884766;
        if (e < lastError) {
            if (e < bestError) {
                bestError = e;
                bestErrorDeg = eDeg;
                bestAngle = angle;
            }
            angle += step;
        } else {
            step = -step / 2;
            angle += step;
        }
        lastError = e;
    }
    return KinMath::Mul(Turned(bestAngle, target), tcpToFlange);
}

DataTypes::Matrix44 RobotKinematicDravo5::LimitOrientationStandard(const DataTypes::Matrix44& target) {
    return KinMath::ToMatrix(StandardFlange(KinMath::FromMatrix(target)));
}

DataTypes::Matrix44 RobotKinematicDravo5::LimitOrientationType2(const DataTypes::Matrix44& target) {
    return KinMath::ToMatrix(Type2Flange(KinMath::FromMatrix(target)));
}

DataTypes::Matrix44 RobotKinematicDravo5::RotateFlangeZ(double angle, const DataTypes::Matrix44& p) {
    return KinMath::ToMatrix(Turned(angle, KinMath::FromMatrix(p)));
}

double RobotKinematicDravo5::GetErrorForAngle(double angle, const DataTypes::Matrix44& p) {
    return ErrorForAngle(angle, KinMath::FromMatrix(p));
}

// ---- inverse kinematics ----

void RobotKinematicDravo5::SolveArm(const Frame& f, double* q) {
    const double l = static_cast<double>(lz4) + lz5;
    const double px = f.t[0] - f.r[0][2] * l;
    const double py = f.t[1] - f.r[1][2] * l;
    const double h = f.t[2] - f.r[2][2] * l - (static_cast<double>(lz0) + lz1);
    PlanarArm::CheckCentre(px, py, singularityCenter, errorLogged);
    // The arm's plane lies ly0 beside the base axis: A1 turns past the
    // point's azimuth by asin(ly0 / r), the other way when reaching back.
    const double rr = std::sqrt(px * px + py * py);
    double turn = 0;
    double r = rr;
    if (ly0 != 0.0f) {
        if (!(rr > std::fabs(ly0))) PlanarArm::RefuseCentre(px, py, singularityCenter, errorLogged);
        turn = std::asin(ly0 / rr);
        r = std::sqrt(rr * rr - static_cast<double>(ly0) * ly0);
    }
    const double psi = std::atan2(py, px);
    double a1 = (armFront ? psi + turn : psi - turn + kPi) * kRadToDeg;
    double shoulder = 0, elbow = 0;
    PlanarArm::SolveShoulderElbow(r, h, lz2, lz3, singularityEllbow, elbowUp, errorLogged, &shoulder, &elbow);
    if (!armFront) {
        shoulder = -shoulder;
        elbow = -elbow;
    }
    q[0] = NearestDeg(KinMath::WrapDeg(a1), joints[0]);
    q[1] = NearestDeg(shoulder, joints[1]);
    q[2] = NearestDeg(elbow, joints[2]);
}

void RobotKinematicDravo5::SolveTarget(const Frame& target, double* q) {
    const Frame f = wristRedundancyHandling == 1 ? Type2Flange(target) : StandardFlange(target);
    SolveArm(f, q);
    // R = M^-1·F, the flange's rotation in the forearm's frame.
    const double a1 = q[0] * kDegToRad;
    const double a23 = (q[1] + q[2]) * kDegToRad;
    const Frame toArm = KinMath::Mul(KinMath::RotY(-a23), KinMath::RotZ(-a1));
    const Frame R = KinMath::Mul(toArm, f);
    const double a4 = -std::atan2(-R.r[0][2], R.r[2][2]);
    const double c4 = std::cos(a4), s4 = std::sin(a4);
    // R' = Ry(-a4)·R
    const double r00 = c4 * R.r[0][0] - s4 * R.r[2][0];
    const double r10 = R.r[1][0];
    double q5 = std::atan2(r10, r00) * kRadToDeg;
    if (tcpXDirToFront) q5 = q5 < 0 ? q5 + 180.0 : q5 - 180.0;
    q[3] = NearestDeg(a4 * kRadToDeg, joints[3]);
    q[4] = NearestDeg(q5, joints[4]);
}

void RobotKinematicDravo5::InverseKin(const DataTypes::Matrix44& target, float* out) {
    double q[5];
    SolveTarget(KinMath::FromMatrix(target), q);
    float qf[5];
    for (int i = 0; i < 5; ++i) qf[i] = static_cast<float>(q[i]);
    for (int i = 0; i < nrOfJoints && i < 5; ++i) out[i] = qf[i];
    wristPoint = KinMath::ToMatrix(ArmFrame(qf)).GetTranslation();
}

void RobotKinematicDravo5::SetPosition(const DataTypes::Matrix44& target, float* extJoints) {
    ArmSetPosition(target, extJoints, true, false);
}
