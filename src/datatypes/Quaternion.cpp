#include "datatypes/Quaternion.h"

#include <cmath>
#include <stdexcept>

namespace DataTypes {

Vector3 Quaternion::ImaginaryPart() const {
    return Vector3(static_cast<float>(q1), static_cast<float>(q2), static_cast<float>(q3));
}

Quaternion Quaternion::operator*(const Quaternion& r) const {
    return Quaternion(q0 * r.q0 - q1 * r.q1 - q2 * r.q2 - q3 * r.q3,
                      q0 * r.q1 + q1 * r.q0 + q2 * r.q3 - q3 * r.q2,
                      q0 * r.q2 - q1 * r.q3 + q2 * r.q0 + q3 * r.q1,
                      q0 * r.q3 + q1 * r.q2 - q2 * r.q1 + q3 * r.q0);
}

double Quaternion::Norm() const { return std::sqrt(Dot(*this)); }

Quaternion Quaternion::Normalize() const {
    const double n = Norm();
    if (n == 0.0) {
        throw std::domain_error("tried to normalize zero quaternion");
    }
    return *this / n;
}

Quaternion Quaternion::Inverse() const {
    const double d = Dot(*this);
    if (d == 0.0) {
        throw std::domain_error("tried to invert zero quaternion");
    }
    return Conjugate() / d;
}

Quaternion Quaternion::Cross(const Quaternion& r) const {
    return Quaternion(0.0, q2 * r.q3 - q3 * r.q2, q3 * r.q1 - q1 * r.q3, q1 * r.q2 - q2 * r.q1);
}

Quaternion Quaternion::Exp() const {
    const Vector3 v = ImaginaryPart();
    const double a = static_cast<double>(v.Magnitude());
    const double e = std::exp(q0);
    if (a == 0.0) {
        return Quaternion(e, 0.0, 0.0, 0.0);
    }
    const double f = e * std::sin(a) / a;
    return Quaternion(e * std::cos(a), v.x * f, v.y * f, v.z * f);
}

Quaternion Quaternion::Log() const {
    const double n = Norm();
    const Vector3 v = ImaginaryPart();
    const double a = static_cast<double>(v.Magnitude());
    if (a == 0.0) {
        return Quaternion(std::log(n), 0.0, 0.0, 0.0);
    }
    const double f = std::acos(q0 / n) / a;
    return Quaternion(std::log(n), v.x * f, v.y * f, v.z * f);
}

void Quaternion::ToAxisAngle(double& angle, Vector3& axis) const {
    const double s = std::sqrt(q1 * q1 + q2 * q2 + q3 * q3);
    angle = 2.0 * std::atan2(s, q0);
    if (s == 0.0) {
        axis = Vector3(0.0f, 0.0f, 0.0f);
        return;
    }
    axis = Vector3(static_cast<float>(q1 / s), static_cast<float>(q2 / s), static_cast<float>(q3 / s));
}

Quaternion Quaternion::FromAxisAngle(double angle, const Vector3& axis) {
    const double m = static_cast<double>(axis.Magnitude());
    if (m == 0.0) {
        return Quaternion(0.0, 0.0, 0.0, 0.0);
    }
    const double s = std::sin(angle / 2.0);
    const double c = std::cos(angle / 2.0);
    return Quaternion(c, -axis.x * s / m, -axis.y * s / m, -axis.z * s / m);
}

Quaternion Quaternion::FromMatrix(const Matrix44& m) {
    const double m00 = m(0, 0), m01 = m(0, 1), m02 = m(0, 2);
    const double m10 = m(1, 0), m11 = m(1, 1), m12 = m(1, 2);
    const double m20 = m(2, 0), m21 = m(2, 1), m22 = m(2, 2);
    const double trace = m00 + m11 + m22;
    double w, x, y, z;
    // Take the largest of w, x, y, z first so the division stays well conditioned.
    if (trace > 0.0) {
        const double s = 2.0 * std::sqrt(trace + 1.0);
        w = 0.25 * s;
        x = (m21 - m12) / s;
        y = (m02 - m20) / s;
        z = (m10 - m01) / s;
    } else if (m00 > m11 && m00 > m22) {
        const double s = 2.0 * std::sqrt(1.0 + m00 - m11 - m22);
        w = (m21 - m12) / s;
        x = 0.25 * s;
        y = (m01 + m10) / s;
        z = (m02 + m20) / s;
    } else if (m11 > m22) {
        const double s = 2.0 * std::sqrt(1.0 + m11 - m00 - m22);
        w = (m02 - m20) / s;
        x = (m01 + m10) / s;
        y = 0.25 * s;
        z = (m12 + m21) / s;
    } else {
        const double s = 2.0 * std::sqrt(1.0 + m22 - m00 - m11);
        w = (m10 - m01) / s;
        x = (m02 + m20) / s;
        y = (m12 + m21) / s;
        z = 0.25 * s;
    }
    Quaternion q(w, x, y, z);
    if (q.q0 < 0.0) {
        q = -q;
    }
    return q.Normalize();
}

Matrix44 Quaternion::ToRotationMatrix() const {
    // q0 is the scalar part here as everywhere else in the algebra.
    const double w = q0, x = q1, y = q2, z = q3;
    Matrix44 m;
    m(0, 0) = static_cast<float>(1.0 - 2.0 * y * y - 2.0 * z * z);
    m(0, 1) = static_cast<float>(2.0 * x * y - 2.0 * z * w);
    m(0, 2) = static_cast<float>(2.0 * x * z + 2.0 * y * w);
    m(1, 0) = static_cast<float>(2.0 * x * y + 2.0 * z * w);
    m(1, 1) = static_cast<float>(1.0 - 2.0 * x * x - 2.0 * z * z);
    m(1, 2) = static_cast<float>(2.0 * y * z - 2.0 * x * w);
    m(2, 0) = static_cast<float>(2.0 * x * z - 2.0 * y * w);
    m(2, 1) = static_cast<float>(2.0 * y * z + 2.0 * x * w);
    m(2, 2) = static_cast<float>(1.0 - 2.0 * x * x - 2.0 * y * y);
    return m;
}

}  // namespace DataTypes
