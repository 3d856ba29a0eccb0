#include "PkgProgram/CircleParameters.h"

#include <cmath>
#include <stdexcept>

namespace {

constexpr double Pi = 3.14159265358979323846;
// Nearly collinear points pass the cross-product test but give a circle that
// float arithmetic cannot place: such circles are refused as lines.
constexpr double MaxRadius = 100000.0;
constexpr double MaxMiss = 0.01;

const char* const InLine = "CommandCircular: Invalid definition of circle, points are in line";

}  // namespace

CircleParameters::CircleParameters(const DataTypes::Vector3& p1, const DataTypes::Vector3& p2,
                                   const DataTypes::Vector3& p3) {
    CalculateCircle(p1, p2, p3);
    DataTypes::Vector3 u1 = p1 - centre;
    DataTypes::Vector3 u3 = p3 - centre;
    if (u1.Magnitude() < 1e-6f) throw std::runtime_error("CommandCircular: Could not calculate circle, P1 is at circle center");
    if (u3.Magnitude() < 1e-6f) throw std::runtime_error("CommandCircular: Could not calculate circle, P3 is at circle center");
    u1.Normalize();
    u3.Normalize();
    angle = DataTypes::Vector3::Angle(u1, u3);
    const DataTypes::Vector3 minus = CalculatePosition(-Pi / 2.0);
    const DataTypes::Vector3 plus = CalculatePosition(Pi / 2.0);
    if ((p3 - minus).MagnitudeQ() < (p3 - plus).MagnitudeQ()) angle = 2.0 * Pi - angle;
}

CircleParameters::CircleParameters(const DataTypes::Vector3& p1, const DataTypes::Vector3& p2,
                                   const DataTypes::Vector3& p3, double angleDeg) {
    CalculateCircle(p1, p2, p3);
    angle = angleDeg * Pi / 180.0;
    if (!(std::fabs(angle) >= 0.001))
        throw std::runtime_error("CommandCircular: Invalid definition of circle, target angle is 0");
}

void CircleParameters::CalculateCircle(const DataTypes::Vector3& p1, const DataTypes::Vector3& p2,
                                       const DataTypes::Vector3& p3) {
    using DataTypes::Vector3;
    P1 = p1;
    P2 = p2;
    P3 = p3;
    const Vector3 m12 = (p1 + p2) / 2.0f;
    const Vector3 m23 = (p2 + p3) / 2.0f;
    const Vector3 n = Vector3::Cross(p3 - p1, p2 - p1);
    if (!(n.MagnitudeQ() >= 0.01f)) throw std::runtime_error(InLine);
    const Vector3 b1 = Vector3::Cross(n, p2 - p1);
    const Vector3 b2 = Vector3::Cross(n, p2 - p3);
    Vector3 unitNormal = n;
    unitNormal.Normalize();
    const Vector3 rhs = m23 - m12;
    const DataTypes::Matrix44 w(b1, b2, rhs, Vector3());
    Vector3 s;
    if (!w.SolveLinear2(s)) throw std::runtime_error("CommandCircular: Could not calculate center of circle");
    const Vector3 c = m12 + b1 * s.x;
    const double r = (c - p1).Magnitude();
    if (!std::isfinite(r) || r > MaxRadius) throw std::runtime_error(InLine);
    for (const Vector3* p : {&p1, &p2, &p3}) {
        if (!(std::fabs((*p - c).Magnitude() - r) <= MaxMiss)) throw std::runtime_error(InLine);
    }
    Vector3 y = p1 - c;
    y.Normalize();
    const Vector3 z = unitNormal;
    const Vector3 x = Vector3::Cross(y, z);
    centre = c;
    radius = r;
    normal = unitNormal;
    frame = DataTypes::Matrix44(x, y, z, c);
}

DataTypes::Vector3 CircleParameters::CalculatePosition(double t) const {
    const DataTypes::Vector3 local(static_cast<float>(radius * std::sin(t)), static_cast<float>(radius * std::cos(t)),
                                   0.0f);
    return frame * local;
}

DataTypes::Vector3 CircleParameters::CalculateDirection(double t) const {
    const DataTypes::Vector3 x = frame.GetColumnVector(0);
    const DataTypes::Vector3 y = frame.GetColumnVector(1);
    DataTypes::Vector3 d = x * static_cast<float>(std::cos(t)) - y * static_cast<float>(std::sin(t));
    d.Normalize();
    return angle < 0.0 ? -d : d;
}
