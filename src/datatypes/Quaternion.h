#pragma once
// Quaternion of doubles: q0 is the real part, (q1, q2, q3) the imaginary part.

#include "datatypes/Matrix44.h"
#include "datatypes/Vector3.h"

namespace DataTypes {

class Quaternion {
public:
    double q0;
    double q1;
    double q2;
    double q3;

    Quaternion(double q0_, double q1_, double q2_, double q3_) : q0(q0_), q1(q1_), q2(q2_), q3(q3_) {}

    double RealPart() const { return q0; }
    Vector3 ImaginaryPart() const;
    Quaternion Conjugate() const { return Quaternion(q0, -q1, -q2, -q3); }

    Quaternion operator+(const Quaternion& r) const { return Quaternion(q0 + r.q0, q1 + r.q1, q2 + r.q2, q3 + r.q3); }
    Quaternion operator-(const Quaternion& r) const { return Quaternion(q0 - r.q0, q1 - r.q1, q2 - r.q2, q3 - r.q3); }
    Quaternion operator-() const { return Quaternion(-q0, -q1, -q2, -q3); }
    Quaternion operator*(double d) const { return Quaternion(q0 * d, q1 * d, q2 * d, q3 * d); }
    Quaternion operator/(double d) const { return Quaternion(q0 / d, q1 / d, q2 / d, q3 / d); }
    // Hamilton product.
    Quaternion operator*(const Quaternion& r) const;

    double Dot(const Quaternion& r) const { return q0 * r.q0 + q1 * r.q1 + q2 * r.q2 + q3 * r.q3; }
    double Norm() const;
    // A zero quaternion throws std::domain_error.
    Quaternion Normalize() const;
    // A zero quaternion throws std::domain_error.
    Quaternion Inverse() const;
    // Cross product of the imaginary parts, real part 0.
    Quaternion Cross(const Quaternion& r) const;

    // With a zero imaginary part: e^q0 and (ln |q|, 0, 0, 0).
    Quaternion Exp() const;
    Quaternion Log() const;

    // Angle in radians and unit axis; with a zero imaginary part the axis is (0, 0, 0).
    void ToAxisAngle(double& angle, Vector3& axis) const;
    // Angle in radians; the imaginary part has the opposite sign of the axis.
    // A zero axis gives (0, 0, 0, 0).
    static Quaternion FromAxisAngle(double angle, const Vector3& axis);
    // Unit quaternion of the rotation block, real part not negative.
    static Quaternion FromMatrix(const Matrix44& m);
    // Rotation of a unit quaternion, translation 0.
    Matrix44 ToRotationMatrix() const;
};

}  // namespace DataTypes
