#include "datatypes/Vector3.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace DataTypes {

namespace {
constexpr float kDegToRad = 3.1415927f / 180.0f;
constexpr float kNormalizeEpsilon = 0.0001f;
}  // namespace

float& Vector3::operator[](unsigned int i) {
    switch (i) {
    case 0: return x;
    case 1: return y;
    case 2: return z;
    default: throw std::out_of_range("vector component out of range");
    }
}

float Vector3::operator[](unsigned int i) const {
    return const_cast<Vector3&>(*this)[i];
}

float Vector3::Magnitude() const {
    return static_cast<float>(std::sqrt(static_cast<double>(x * x + y * y + z * z)));
}

float Vector3::Cos(const Vector3& a, const Vector3& b) {
    const float lengths = a.Magnitude() * b.Magnitude();
    if (lengths < 1e-8f) {
        return 0.0f;
    }
    return std::fabs(Dot(a, b)) / lengths;
}

float Vector3::Angle(const Vector3& a, const Vector3& b) {
    const float d = std::clamp(Dot(a, b), -1.0f, 1.0f);
    return std::acos(d);
}

void Vector3::Normalize() {
    const float m = Magnitude();
    if (m > kNormalizeEpsilon) {
        x /= m;
        y /= m;
        z /= m;
    }
}

Vector3 Vector3::Normalized() const {
    const float m = Magnitude();
    if (!(m > kNormalizeEpsilon)) {
        throw std::runtime_error("tried to normalize zero length vector");
    }
    return Vector3(x / m, y / m, z / m);
}

void Vector3::RotateXRad(float a) {
    const double c = std::cos(static_cast<double>(a));
    const double s = std::sin(static_cast<double>(a));
    const float ny = static_cast<float>(c * y - s * z);
    const float nz = static_cast<float>(s * y + c * z);
    y = ny;
    z = nz;
}

void Vector3::RotateYRad(float a) {
    const double c = std::cos(static_cast<double>(a));
    const double s = std::sin(static_cast<double>(a));
    const float nx = static_cast<float>(c * x + s * z);
    const float nz = static_cast<float>(-s * x + c * z);
    x = nx;
    z = nz;
}

void Vector3::RotateZRad(float a) {
    const double c = std::cos(static_cast<double>(a));
    const double s = std::sin(static_cast<double>(a));
    const float nx = static_cast<float>(c * x - s * y);
    const float ny = static_cast<float>(s * x + c * y);
    x = nx;
    y = ny;
}

void Vector3::RotateXDeg(float a) { RotateXRad(a * kDegToRad); }
void Vector3::RotateYDeg(float a) { RotateYRad(a * kDegToRad); }
void Vector3::RotateZDeg(float a) { RotateZRad(a * kDegToRad); }

std::string Vector3::ToString() const {
    char buf[512];
    std::snprintf(buf, sizeof(buf), "(%.1lf, %.1lf, %.1lf)", static_cast<double>(x), static_cast<double>(y),
                  static_cast<double>(z));
    return buf;
}

void Vector3::CreateCoordSystem(Vector3& a, Vector3& b, Vector3& c) {
    Vector3 na = a;
    Vector3 nb = b;
    na.Normalize();
    nb.Normalize();
    // Rounding can push the cosine of parallel vectors just above 1, where acos is NaN.
    const double cosine = std::min(1.0, static_cast<double>(Cos(na, nb)));
    const double angle = std::acos(cosine) * 180.0 / 3.1415927410125732;
    if (angle < 5.0) {
        nb = Vector3(1.0f, 0.0f, 0.0f);
    }
    const Vector3 nc = Cross(nb, na);
    nb = Cross(na, nc);
    // Written back only at the end so that aliased arguments see consistent inputs.
    a = na;
    b = nb;
    c = nc;
}

}  // namespace DataTypes
