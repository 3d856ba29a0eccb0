#include "kinematics/Trilateration.h"

#include <cmath>

namespace {

constexpr float kSameHeight = 0.001f;

struct V {
    double x, y, z;
};

V ToV(const DataTypes::Vector3& p) { return {p.x, p.y, p.z}; }

double Sq(double v) { return v * v; }

bool Store(double x, double y, double z, DataTypes::Vector3* out) {
    if (!std::isfinite(x) || !std::isfinite(y) || !std::isfinite(z)) return false;
    *out = DataTypes::Vector3(static_cast<float>(x), static_cast<float>(y), static_cast<float>(z));
    return true;
}

}  // namespace

bool Trilateration(const DataTypes::Vector3& p1, const DataTypes::Vector3& p2, const DataTypes::Vector3& p3,
                   float r1, float r2, float r3, DataTypes::Vector3* out) {
    const float dz12 = std::fabs(p1.z - p2.z);
    const float dz13 = std::fabs(p1.z - p3.z);
    const float dz23 = std::fabs(p2.z - p3.z);
    if (dz12 < kSameHeight && dz13 < kSameHeight) return TrilaterationSameZHeight(p1, p2, p3, r1, r2, r3, out);
    if (dz13 < kSameHeight) return TrilaterationDifferentZHeight(p3, p1, p2, r3, r1, r2, out);
    if (dz23 < kSameHeight) {
        // Turned so that the two centres of equal height do not lie
        // symmetric to the X axis, where the solution line has no Y extent.
        DataTypes::Vector3 q1 = p1, q2 = p2, q3 = p3;
        q1.RotateZDeg(240);
        q2.RotateZDeg(240);
        q3.RotateZDeg(240);
        DataTypes::Vector3 r;
        if (!TrilaterationDifferentZHeight(q2, q3, q1, r2, r3, r1, &r)) return false;
        r.RotateZDeg(-240);
        *out = r;
        return true;
    }
    return TrilaterationDifferentZHeight(p1, p2, p3, r1, r2, r3, out);
}

bool TrilaterationSameZHeight(const DataTypes::Vector3& p1, const DataTypes::Vector3& p2,
                              const DataTypes::Vector3& p3, float r1, float r2, float r3,
                              DataTypes::Vector3* out) {
    const V P1 = ToV(p1), P2 = ToV(p2), P3 = ToV(p3);
    const double a1 = 2 * (P3.x - P1.x), b1 = 2 * (P3.y - P1.y);
    const double d1 = Sq(r1) - Sq(r3) - Sq(P1.x) - Sq(P1.y) + Sq(P3.x) + Sq(P3.y);
    const double a2 = 2 * (P3.x - P2.x), b2 = 2 * (P3.y - P2.y);
    const double d2 = Sq(r2) - Sq(r3) - Sq(P2.x) - Sq(P2.y) + Sq(P3.x) + Sq(P3.y);
    const double det = a1 * b2 - b1 * a2;
    if (det == 0.0) return false;
    const double x = (d1 * b2 - b1 * d2) / det;
    const double y = (a1 * d2 - d1 * a2) / det;
    const double qb = -2 * P1.z;
    const double qc = Sq(P1.z) - Sq(r1) + Sq(x - P1.x) + Sq(y - P1.y);
    const double disc = qb * qb - 4 * qc;
    if (disc < 0) return false;
    const double z = std::fmin((-qb + std::sqrt(disc)) / 2, (-qb - std::sqrt(disc)) / 2);
    return Store(x, y, z, out);
}

bool TrilaterationDifferentZHeight(const DataTypes::Vector3& p1, const DataTypes::Vector3& p2,
                                   const DataTypes::Vector3& p3, float r1, float r2, float r3,
                                   DataTypes::Vector3* out) {
    const V P1 = ToV(p1), P2 = ToV(p2), P3 = ToV(p3);
    const double n1 = Sq(P1.x) + Sq(P1.y) + Sq(P1.z);
    const double n2 = Sq(P2.x) + Sq(P2.y) + Sq(P2.z);
    const double n3 = Sq(P3.x) + Sq(P3.y) + Sq(P3.z);
    const double a1 = 2 * (P3.x - P1.x), b1 = 2 * (P3.y - P1.y), c1 = 2 * (P3.z - P1.z);
    const double a2 = 2 * (P3.x - P2.x), b2 = 2 * (P3.y - P2.y), c2 = 2 * (P3.z - P2.z);
    const double d1 = Sq(r1) - Sq(r3) - n1 + n3;
    const double d2 = Sq(r2) - Sq(r3) - n2 + n3;
    // A point of (0, 0, 0) would be taken for a solution: no solution instead.
    if (c1 == 0.0 || c2 == 0.0) return false;
    const double k = a1 / c1 - a2 / c2;
    if (k == 0.0) return false;
    const double m = b1 / c1 - b2 / c2;
    const double n = d2 / c2 - d1 / c1;
    const double ax = -m / k, bx = -n / k;
    const double az = (-a2 * ax - b2) / c2, bz = (d2 - a2 * bx) / c2;
    const double qa = ax * ax + 1 + az * az;
    const double qb = 2 * ax * (bx - P1.x) - 2 * P1.y + 2 * az * (bz - P1.z);
    const double qc = (bx - 2 * P1.x) * bx + (bz - 2 * P1.z) * bz + n1 - Sq(r1);
    const double disc = qb * qb - 4 * qa * qc;
    if (disc < 0) return false;
    const double y1 = (std::sqrt(disc) - qb) / (2 * qa);
    const double y2 = (-qb - std::sqrt(disc)) / (2 * qa);
    const double z1 = az * y1 + bz, z2 = az * y2 + bz;
    const double y = z2 < z1 ? y2 : y1;
    return Store(ax * y + bx, y, az * y + bz, out);
}
