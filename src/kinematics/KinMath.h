#pragma once
// Double-precision rigid transforms and angle helpers shared by the arm
// geometries. Poses are stored as single-precision Matrix44; chains are
// multiplied here in double so that inverse-of-forward round trips stay
// well inside a hundredth of a degree or millimetre.

#include <cmath>

#include "datatypes/Matrix44.h"
#include "datatypes/Vector3.h"

namespace KinMath {

constexpr double kDegToRad = 0.017453292519943295;
constexpr double kRadToDeg = 57.29577951308232;
constexpr double kPi = 3.141592653589793;

// Rigid transform: p' = r·p + t.
struct Frame {
    double r[3][3];
    double t[3];
};

inline Frame Identity() {
    Frame f{};
    f.r[0][0] = f.r[1][1] = f.r[2][2] = 1.0;
    return f;
}

inline Frame FromMatrix(const DataTypes::Matrix44& m) {
    Frame f;
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) f.r[i][j] = m(i, j);
        f.t[i] = m(i, 3);
    }
    return f;
}

inline void ToMatrix(const Frame& f, DataTypes::Matrix44* m) {
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) (*m)(i, j) = static_cast<float>(f.r[i][j]);
        (*m)(i, 3) = static_cast<float>(f.t[i]);
        (*m)(3, i) = 0.0f;
    }
    (*m)(3, 3) = 1.0f;
}

inline DataTypes::Matrix44 ToMatrix(const Frame& f) {
    DataTypes::Matrix44 m;
    ToMatrix(f, &m);
    return m;
}

// Ordinary product a·b (b applied first).
inline Frame Mul(const Frame& a, const Frame& b) {
    Frame c;
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) c.r[i][j] = a.r[i][0] * b.r[0][j] + a.r[i][1] * b.r[1][j] + a.r[i][2] * b.r[2][j];
        c.t[i] = a.r[i][0] * b.t[0] + a.r[i][1] * b.t[1] + a.r[i][2] * b.t[2] + a.t[i];
    }
    return c;
}

// Inverse of a rigid transform (the rotation taken as orthonormal).
inline Frame InverseRigid(const Frame& f) {
    Frame g;
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) g.r[i][j] = f.r[j][i];
    }
    for (int i = 0; i < 3; ++i) g.t[i] = -(g.r[i][0] * f.t[0] + g.r[i][1] * f.t[1] + g.r[i][2] * f.t[2]);
    return g;
}

// Rotation about Z or Y by an angle in radians, with translation t.
inline Frame RotZ(double a, double tx = 0, double ty = 0, double tz = 0) {
    const double c = std::cos(a), s = std::sin(a);
    return Frame{{{c, -s, 0}, {s, c, 0}, {0, 0, 1}}, {tx, ty, tz}};
}

inline Frame RotY(double a, double tx = 0, double ty = 0, double tz = 0) {
    const double c = std::cos(a), s = std::sin(a);
    return Frame{{{c, 0, s}, {0, 1, 0}, {-s, 0, c}}, {tx, ty, tz}};
}

inline Frame Trans(double x, double y, double z) {
    Frame f = Identity();
    f.t[0] = x;
    f.t[1] = y;
    f.t[2] = z;
    return f;
}

// Angle in (-180, 180].
inline double WrapDeg(double a) {
    if (!std::isfinite(a)) return a;
    a = std::fmod(a, 360.0);
    if (a > 180.0) a -= 360.0;
    if (a <= -180.0) a += 360.0;
    return a;
}

// acos of a quotient that rounding of the target may push just past +-1 at a
// fully folded or stretched elbow; clearly impossible triangles still give NaN.
inline double AcosRounded(double c) {
    if (c > 1.0 && c < 1.0 + 1e-6) c = 1.0;
    if (c < -1.0 && c > -1.0 - 1e-6) c = -1.0;
    return std::acos(c);
}

// The equivalent of `a` (a multiple of 360 apart) nearest to `ref`, so that a
// joint does not jump by a full turn where the angle passes +-180.
inline double NearestDeg(double a, double ref) {
    if (!std::isfinite(a) || !std::isfinite(ref)) return a;
    return a + 360.0 * std::round((ref - a) / 360.0);
}

}  // namespace KinMath
