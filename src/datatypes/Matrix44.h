#pragma once
// Homogeneous 4x4 pose: 16 floats in row order, rotation in the upper-left
// 3x3 block, translation in the last column. A plain value type: no heap, no
// virtuals, hot accessors inline so the kinematics can use it freely.
//
// Orientation: A, B, C in degrees about Z, Y, X. GetABCDeg and
// SetRotationABCDeg2 use R = Rz(A)*Ry(B)*Rx(C); SetRotationABCDeg yields
// Rx(C)*Ry(B)*Rz(A).
//
// Product order: a * b is the ordinary product b*a.

#include <stdexcept>
#include <string>

#include "datatypes/Vector3.h"
#include "datatypes/VectorN.h"

namespace DataTypes {

class Matrix44 {
public:
    enum Axis { X = 0, Y = 1, Z = 2 };

    Matrix44()
        : m_Data{1.0f, 0.0f, 0.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f, 0.0f, 0.0f, 1.0f} {}
    Matrix44(const Matrix44&) = default;
    Matrix44& operator=(const Matrix44&) = default;
    // Columns 0..2 := x, y, z, column 3 := t, last row (0, 0, 0, 1).
    Matrix44(const Vector3& x, const Vector3& y, const Vector3& z, const Vector3& t);

    static Matrix44 Identity() { return Matrix44(); }

    // Throws std::out_of_range for a row or column outside 0..3.
    float& operator()(int row, int col) {
        CheckIndex(row, col);
        return m_Data[row * 4 + col];
    }
    float operator()(int row, int col) const {
        CheckIndex(row, col);
        return m_Data[row * 4 + col];
    }

    // a * b is b*a in ordinary notation: element (i, j) = sum_k b(i, k) * a(k, j).
    Matrix44 operator*(const Matrix44& b) const {
        Matrix44 r;
        for (int i = 0; i < 4; ++i) {
            for (int j = 0; j < 4; ++j) {
                float sum = 0.0f;
                for (int k = 0; k < 4; ++k) {
                    sum += b.m_Data[i * 4 + k] * m_Data[k * 4 + j];
                }
                r.m_Data[i * 4 + j] = sum;
            }
        }
        return r;
    }

    // Transformed point: rotation * p + translation.
    Vector3 operator*(const Vector3& p) const {
        const float* d = m_Data;
        return Vector3(d[0] * p.x + d[1] * p.y + d[2] * p.z + d[3],
                       d[4] * p.x + d[5] * p.y + d[6] * p.z + d[7],
                       d[8] * p.x + d[9] * p.y + d[10] * p.z + d[11]);
    }

    // Full 4x4 product; a vector whose size is not 4 throws std::length_error.
    VectorN operator*(const VectorN& v) const;

    // Every element within the tolerance and no element infinite or NaN.
    bool Equals(const Matrix44& other, float tolerance) const;

    void SetRotationRad(Axis axis, double angle);
    void SetRotationDeg(Axis axis, double angle);
    // Rotation block := Rx(C)*Ry(B)*Rz(A).
    void SetRotationABCDeg(double A, double B, double C);
    // Rotation block := Rz(A)*Ry(B)*Rx(C), the pose convention.
    void SetRotationABCDeg2(double A, double B, double C);
    // Angles of R = Rz(A)*Ry(B)*Rx(C); at B = +-90 degrees A is 0.
    void GetABCDeg(float* A, float* B, float* C) const;

    void SetTranslation(float x, float y, float z) {
        m_Data[3] = x;
        m_Data[7] = y;
        m_Data[11] = z;
    }
    void SetTranslation(const Vector3& t) { SetTranslation(t.x, t.y, t.z); }
    Vector3 GetTranslation() const { return Vector3(m_Data[3], m_Data[7], m_Data[11]); }

    // Rows 0..2 of a column; a column outside 0..3 throws std::out_of_range.
    Vector3 GetColumnVector(int col) const {
        CheckIndex(0, col);
        return Vector3(m_Data[col], m_Data[4 + col], m_Data[8 + col]);
    }
    void SetColumnVector(int col, const Vector3& v) {
        CheckIndex(0, col);
        m_Data[col] = v.x;
        m_Data[4 + col] = v.y;
        m_Data[8 + col] = v.z;
    }

    float Trace3x3() const { return m_Data[0] + m_Data[5] + m_Data[10]; }
    void Transpose();
    // Normalises rotation columns 0..2; a zero column throws std::runtime_error
    // and leaves the matrix unchanged.
    void Normalize();

    // Axis (unit) and angle in degrees, 0..180, of the rotation block.
    void GetAxisAngle(Vector3* axis, float* angle) const;
    // Rotates the rotation block by angle degrees about a unit axis.
    void RotateAxisAngle(Vector3 axis, float angle);

    // Inverse of the whole 4x4 matrix; a singular matrix throws std::runtime_error.
    Matrix44 Inverse() const;

    // Solves W(i,0)*x + W(i,1)*y = W(i,2), i = 0..2, for (x, y, 0).
    bool SolveLinear2(Vector3& result) const;

    std::string ToString() const;

private:
    static void CheckIndex(int row, int col) {
        if (static_cast<unsigned>(row) > 3u || static_cast<unsigned>(col) > 3u) {
            throw std::out_of_range("matrix index out of range");
        }
    }

    float m_Data[16];
};

}  // namespace DataTypes
