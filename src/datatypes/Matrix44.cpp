#include "datatypes/Matrix44.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <type_traits>

namespace DataTypes {

// The kinematics copy poses freely in their inner loops.
static_assert(sizeof(Matrix44) == 16 * sizeof(float), "Matrix44 holds exactly 16 floats");
static_assert(std::is_trivially_copyable<Matrix44>::value, "Matrix44 is a plain value type");

namespace {
constexpr float kRadToDeg = 57.29578f;
}  // namespace

Matrix44::Matrix44(const Vector3& x, const Vector3& y, const Vector3& z, const Vector3& t) : Matrix44() {
    SetColumnVector(0, x);
    SetColumnVector(1, y);
    SetColumnVector(2, z);
    SetColumnVector(3, t);
}

VectorN Matrix44::operator*(const VectorN& v) const {
    if (v.size() != 4) {
        throw std::length_error("Matrix44: multiplication with VectorN of this length is not implemented");
    }
    VectorN r(4);
    for (int i = 0; i < 4; ++i) {
        float sum = 0.0f;
        for (int k = 0; k < 4; ++k) {
            sum += m_Data[i * 4 + k] * v[static_cast<unsigned>(k)];
        }
        r[static_cast<unsigned>(i)] = sum;
    }
    return r;
}

bool Matrix44::Equals(const Matrix44& other, float tolerance) const {
    for (int i = 0; i < 16; ++i) {
        if (!std::isfinite(m_Data[i]) || !std::isfinite(other.m_Data[i])) {
            return false;
        }
        if (!(std::fabs(m_Data[i] - other.m_Data[i]) <= tolerance)) {
            return false;
        }
    }
    return true;
}

void Matrix44::SetRotationRad(Axis axis, double angle) {
    const float c = static_cast<float>(std::cos(angle));
    const float s = static_cast<float>(std::sin(angle));
    float* d = m_Data;
    switch (axis) {
    case X:
        d[0] = 1.0f; d[1] = 0.0f; d[2] = 0.0f;
        d[4] = 0.0f; d[5] = c;    d[6] = -s;
        d[8] = 0.0f; d[9] = s;    d[10] = c;
        break;
    case Y:
        d[0] = c;    d[1] = 0.0f; d[2] = s;
        d[4] = 0.0f; d[5] = 1.0f; d[6] = 0.0f;
        d[8] = -s;   d[9] = 0.0f; d[10] = c;
        break;
    case Z:
        d[0] = c;    d[1] = -s;   d[2] = 0.0f;
        d[4] = s;    d[5] = c;    d[6] = 0.0f;
        d[8] = 0.0f; d[9] = 0.0f; d[10] = 1.0f;
        break;
    default:
        break;
    }
}

void Matrix44::SetRotationDeg(Axis axis, double angle) { SetRotationRad(axis, angle * 3.141592 / 180.0); }

void Matrix44::SetRotationABCDeg(double A, double B, double C) {
    Matrix44 m;
    m.SetRotationDeg(Z, A);
    Matrix44 n;
    n.SetRotationDeg(Y, B);
    m = m * n;
    n.SetRotationDeg(X, C);
    m = m * n;
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            m_Data[r * 4 + c] = m.m_Data[r * 4 + c];
        }
    }
}

void Matrix44::SetRotationABCDeg2(double A, double B, double C) {
    constexpr double kDegToRad = 0.017453292519943295;
    const double a = A * kDegToRad;
    const double b = B * kDegToRad;
    const double c = C * kDegToRad;
    const double sa = std::sin(a), ca = std::cos(a);
    const double sb = std::sin(b), cb = std::cos(b);
    const double sc = std::sin(c), cc = std::cos(c);
    float* d = m_Data;
    d[0] = static_cast<float>(ca * cb);
    d[1] = static_cast<float>(ca * sb * sc - sa * cc);
    d[2] = static_cast<float>(ca * sb * cc + sa * sc);
    d[4] = static_cast<float>(sa * cb);
    d[5] = static_cast<float>(sa * sb * sc + ca * cc);
    d[6] = static_cast<float>(sa * sb * cc - ca * sc);
    d[8] = static_cast<float>(-sb);
    d[9] = static_cast<float>(cb * sc);
    d[10] = static_cast<float>(cb * cc);
}

void Matrix44::GetABCDeg(float* A, float* B, float* C) const {
    const float* d = m_Data;
    const float b = std::atan2(-d[8], std::sqrt(d[0] * d[0] + d[4] * d[4]));
    const double halfPi = 3.14159265358979323846 / 2.0;
    const double tolerance = static_cast<double>(0.001f);
    float a;
    float c;
    if (std::fabs(static_cast<double>(b) - halfPi) < tolerance) {
        // Gimbal lock: only C - A is defined, so A is taken as 0.
        a = 0.0f;
        c = std::atan2(d[1], d[5]);
    } else if (std::fabs(static_cast<double>(b) + halfPi) < tolerance) {
        // Only C + A is defined here.
        a = 0.0f;
        c = -std::atan2(d[1], d[5]);
    } else {
        const float cb = std::cos(b);
        a = std::atan2(d[4] / cb, d[0] / cb);
        c = std::atan2(d[9] / cb, d[10] / cb);
    }
    *A = a * kRadToDeg;
    *B = b * kRadToDeg;
    *C = c * kRadToDeg;
}

void Matrix44::Transpose() {
    for (int r = 0; r < 4; ++r) {
        for (int c = r + 1; c < 4; ++c) {
            std::swap(m_Data[r * 4 + c], m_Data[c * 4 + r]);
        }
    }
}

void Matrix44::Normalize() {
    Vector3 columns[3];
    for (int c = 0; c < 3; ++c) {
        const Vector3 v = GetColumnVector(c);
        if (!(v.Magnitude() > 0.0001f)) {
            throw std::runtime_error("Tried to normalize matrix with zero column");
        }
        columns[c] = v.Normalized();
    }
    for (int c = 0; c < 3; ++c) {
        SetColumnVector(c, columns[c]);
    }
}

void Matrix44::GetAxisAngle(Vector3* axis, float* angle) const {
    const float* d = m_Data;
    const Vector3 r(d[9] - d[6], d[2] - d[8], d[4] - d[1]);
    const float c = std::clamp((Trace3x3() - 1.0f) * 0.5f, -1.0f, 1.0f);
    const float s = std::min(r.Magnitude() * 0.5f, 1.0f);
    const float theta = std::atan2(s, c);

    Vector3 v;
    if (std::fabs(s) > 1e-6f) {
        v = r * (theta * 0.5f / s);
    } else if (c > 0.0f) {
        v = r * 0.5f;
    } else {
        // Half turn: R = 2*k*k^T - I, so the diagonal gives the magnitudes of
        // the axis components and the off-diagonal elements their relative signs.
        const float f = 1.0f / (1.0f - c);
        Vector3 k(std::sqrt(std::max((d[0] - c) * f, 0.0f)), std::sqrt(std::max((d[5] - c) * f, 0.0f)),
                  std::sqrt(std::max((d[10] - c) * f, 0.0f)));
        int big = 0;
        if (k[1] > k[big]) big = 1;
        if (k[2] > k[big]) big = 2;
        for (int j = 0; j < 3; ++j) {
            if (j != big && d[big * 4 + j] + d[j * 4 + big] < 0.0f) {
                k[static_cast<unsigned>(j)] = -k[static_cast<unsigned>(j)];
            }
        }
        v = k * theta;
        float a = v.Magnitude();
        if (a > 1e-6f) {
            v = v / a;
        }
        a *= kRadToDeg;
        if (a > 180.0f) {
            a -= 360.0f;
        } else if (a < -180.0f) {
            a += 360.0f;
        }
        if (a < 0.0f) {
            a = -a;
            v = -v;
        }
        *axis = v;
        *angle = a;
        return;
    }

    const float a = v.Magnitude();
    *axis = a > 1e-6f ? v / a : v;
    *angle = a * kRadToDeg;
}

void Matrix44::RotateAxisAngle(Vector3 axis, float angle) {
    if (std::fabs(angle) < 0.0001f) {
        return;
    }
    if (std::fabs(Vector3::Dot(axis, axis) - 1.0f) > 0.0001f) {
        throw std::runtime_error("axis vector is not normalized");
    }
    axis.Normalize();
    const float c = std::cos(angle * 0.017453292f);
    const float s = std::sin(angle * 0.017453292f);
    for (int col = 0; col < 3; ++col) {
        const Vector3 v = GetColumnVector(col);
        const Vector3 rotated = v * c + Vector3::Cross(axis, v) * s + axis * (Vector3::Dot(axis, v) * (1.0f - c));
        SetColumnVector(col, rotated);
    }
}

Matrix44 Matrix44::Inverse() const {
    // Gauss-Jordan elimination with full pivoting, in place on a copy.
    Matrix44 result(*this);
    float(&a)[16] = result.m_Data;
    auto at = [&a](int r, int c) -> float& { return a[r * 4 + c]; };
    int pivotRow[4];
    int pivotCol[4];
    float det = 1.0f;

    for (int k = 0; k < 4; ++k) {
        pivotRow[k] = k;
        pivotCol[k] = k;
        float pivot = at(k, k);
        for (int i = k; i < 4; ++i) {
            for (int j = k; j < 4; ++j) {
                if (std::fabs(at(i, j)) > std::fabs(pivot)) {
                    pivot = at(i, j);
                    pivotRow[k] = i;
                    pivotCol[k] = j;
                }
            }
        }

        det *= pivot;
        if (!(std::fabs(static_cast<double>(det)) >= 1e-10)) {
            throw std::runtime_error("Matrix inversion: determinant is zero");
        }

        const int pr = pivotRow[k];
        if (pr != k) {
            for (int j = 0; j < 4; ++j) {
                const float t = -at(k, j);
                at(k, j) = at(pr, j);
                at(pr, j) = t;
            }
        }
        const int pc = pivotCol[k];
        if (pc != k) {
            for (int i = 0; i < 4; ++i) {
                const float t = -at(i, k);
                at(i, k) = at(i, pc);
                at(i, pc) = t;
            }
        }

        for (int i = 0; i < 4; ++i) {
            if (i != k) {
                at(i, k) = -at(i, k) / pivot;
            }
        }
        for (int i = 0; i < 4; ++i) {
            const float t = at(i, k);
            for (int j = 0; j < 4; ++j) {
                if (i != k && j != k) {
                    at(i, j) += at(k, j) * t;
                }
            }
        }
        for (int j = 0; j < 4; ++j) {
            if (j != k) {
                at(k, j) /= pivot;
            }
        }
        at(k, k) = 1.0f / pivot;
    }

    for (int k = 2; k >= 0; --k) {
        const int j = pivotCol[k];
        if (j != k) {
            for (int c = 0; c < 4; ++c) {
                const float t = at(k, c);
                at(k, c) = -at(j, c);
                at(j, c) = t;
            }
        }
        const int i = pivotRow[k];
        if (i != k) {
            for (int r = 0; r < 4; ++r) {
                const float t = at(r, k);
                at(r, k) = -at(r, i);
                at(r, i) = t;
            }
        }
    }
    return result;
}

bool Matrix44::SolveLinear2(Vector3& result) const {
    constexpr float eps = 0.0001f;
    float w[3][3];
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            w[i][j] = m_Data[i * 4 + j];
        }
    }
    result = Vector3(0.0f, 0.0f, 0.0f);

    // A vanishing column leaves one unknown: every usable row must give the same value.
    // 'known' is the column that stays, the other unknown is 0.
    auto singleUnknown = [&w, &result](int known, bool* solved) -> bool {
        float ratios[3];
        int count = 0;
        for (int i = 0; i < 3; ++i) {
            if (std::fabs(w[i][known]) > eps) {
                const float ratio = w[i][2] / w[i][known];
                for (int e = 0; e < count; ++e) {
                    if (std::fabs(ratio - ratios[e]) > eps) {
                        return false;
                    }
                }
                ratios[count++] = ratio;
            }
        }
        if (count > 0) {
            result[static_cast<unsigned>(known)] = ratios[count - 1];
            *solved = true;
        }
        return true;
    };

    bool solved = false;
    if (w[0][0] * w[0][0] + w[1][0] * w[1][0] + w[2][0] * w[2][0] < eps) {
        if (!singleUnknown(1, &solved)) {
            return false;
        }
        if (solved) {
            return true;
        }
    }
    if (w[0][1] * w[0][1] + w[1][1] * w[1][1] + w[2][1] * w[2][1] < eps) {
        if (!singleUnknown(0, &solved)) {
            return false;
        }
        if (solved) {
            return true;
        }
    }

    int p = -1;
    for (int i = 0; i < 3; ++i) {
        if (std::fabs(w[i][0]) > eps) {
            if (p < 0) {
                p = i;
            }
            w[i][1] /= w[i][0];
            w[i][2] /= w[i][0];
            w[i][0] = 1.0f;
        }
        if (p >= 0 && i != p && w[i][0] > 0.5f) {
            w[i][0] = 0.0f;
            w[i][1] -= w[p][1];
            w[i][2] -= w[p][2];
        }
    }
    if (p < 0) {
        return false;
    }

    float y = 0.0f;
    for (int r = 0; r < 3; ++r) {
        if (r != p && std::fabs(w[r][1]) > eps) {
            y = w[r][2] / w[r][1];
            break;
        }
    }
    result = Vector3(w[p][2] - w[p][1] * y, y, 0.0f);
    return true;
}

std::string Matrix44::ToString() const {
    std::string out;
    for (int r = 0; r < 4; ++r) {
        out += "(";
        for (int c = 0; c < 4; ++c) {
            const double v = static_cast<double>(m_Data[r * 4 + c]);
            const int length = std::snprintf(nullptr, 0, " %.3f", v);
            std::string number(static_cast<std::size_t>(length) + 1, '\0');
            std::snprintf(&number[0], number.size(), " %.3f", v);
            number.resize(static_cast<std::size_t>(length));
            out += number;
        }
        out += " )\n";
    }
    return out;
}

}  // namespace DataTypes
