#include "kinematics/PlanarArm.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "common/LogSingleton.h"

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
