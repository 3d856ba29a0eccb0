#pragma once
// Three-component single-precision vector for positions, directions and axes.

#include <string>

namespace DataTypes {

class Vector3 {
public:
    float x = 0.0f;
    float y = 0.0f;
    float z = 0.0f;

    Vector3() = default;
    Vector3(float x_, float y_, float z_) : x(x_), y(y_), z(z_) {}
    Vector3(const Vector3&) = default;
    Vector3& operator=(const Vector3&) = default;

    // Component 0, 1 or 2; anything else throws std::out_of_range.
    float& operator[](unsigned int i);
    float operator[](unsigned int i) const;

    Vector3 operator+(const Vector3& o) const { return Vector3(x + o.x, y + o.y, z + o.z); }
    Vector3 operator-(const Vector3& o) const { return Vector3(x - o.x, y - o.y, z - o.z); }
    Vector3 operator-() const { return Vector3(-x, -y, -z); }
    Vector3& operator+=(const Vector3& o) {
        x += o.x;
        y += o.y;
        z += o.z;
        return *this;
    }
    Vector3 operator*(float f) const { return Vector3(x * f, y * f, z * f); }
    Vector3 operator/(float f) const { return Vector3(x / f, y / f, z / f); }
    Vector3 operator*(double d) const {
        return Vector3(static_cast<float>(x * d), static_cast<float>(y * d), static_cast<float>(z * d));
    }
    Vector3 operator/(double d) const {
        return Vector3(static_cast<float>(x / d), static_cast<float>(y / d), static_cast<float>(z / d));
    }

    float Magnitude() const;
    float MagnitudeQ() const { return x * x + y * y + z * z; }

    static float Dot(const Vector3& a, const Vector3& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
    static Vector3 Cross(const Vector3& a, const Vector3& b) {
        return Vector3(a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x);
    }
    // Unsigned cosine of the angle between a and b; 0 for a (near) zero vector.
    static float Cos(const Vector3& a, const Vector3& b);
    // Angle in radians between two vectors taken as unit vectors.
    static float Angle(const Vector3& a, const Vector3& b);

    // Leaves a vector of (near) zero length unchanged.
    void Normalize();
    // Throws std::runtime_error for a vector of (near) zero length.
    Vector3 Normalized() const;

    void RotateXRad(float a);
    void RotateYRad(float a);
    void RotateZRad(float a);
    void RotateXDeg(float a);
    void RotateYDeg(float a);
    void RotateZDeg(float a);

    std::string ToString() const;

    // Builds a frame from direction a and a second direction b: a and b are
    // normalised, c = b x a, b = a x c. A b nearly parallel to a is replaced by X.
    static void CreateCoordSystem(Vector3& a, Vector3& b, Vector3& c);
};

}  // namespace DataTypes
