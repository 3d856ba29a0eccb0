#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>

#include "datatypes/Matrix44.h"

using DataTypes::Matrix44;
using DataTypes::Vector3;
using DataTypes::VectorN;

namespace {

constexpr double kPi = 3.14159265358979323846;

// Reference math in double, ordinary notation (column vectors).
using M4 = std::array<std::array<double, 4>, 4>;

M4 Eye() {
    M4 m{};
    for (int i = 0; i < 4; ++i) m[i][i] = 1.0;
    return m;
}

M4 Mul(const M4& a, const M4& b) {
    M4 r{};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            for (int k = 0; k < 4; ++k) r[i][j] += a[i][k] * b[k][j];
    return r;
}

M4 RotX(double deg) {
    const double a = deg * kPi / 180.0, c = std::cos(a), s = std::sin(a);
    M4 m = Eye();
    m[1][1] = c; m[1][2] = -s;
    m[2][1] = s; m[2][2] = c;
    return m;
}

M4 RotY(double deg) {
    const double a = deg * kPi / 180.0, c = std::cos(a), s = std::sin(a);
    M4 m = Eye();
    m[0][0] = c; m[0][2] = s;
    m[2][0] = -s; m[2][2] = c;
    return m;
}

M4 RotZ(double deg) {
    const double a = deg * kPi / 180.0, c = std::cos(a), s = std::sin(a);
    M4 m = Eye();
    m[0][0] = c; m[0][1] = -s;
    m[1][0] = s; m[1][1] = c;
    return m;
}

// Rotation by deg about a unit axis (Rodrigues).
M4 RotAxis(const Vector3& k, double deg) {
    const double a = deg * kPi / 180.0, c = std::cos(a), s = std::sin(a), t = 1.0 - c;
    const double x = k.x, y = k.y, z = k.z;
    M4 m = Eye();
    m[0][0] = t * x * x + c;     m[0][1] = t * x * y - s * z; m[0][2] = t * x * z + s * y;
    m[1][0] = t * x * y + s * z; m[1][1] = t * y * y + c;     m[1][2] = t * y * z - s * x;
    m[2][0] = t * x * z - s * y; m[2][1] = t * y * z + s * x; m[2][2] = t * z * z + c;
    return m;
}

Matrix44 ToMatrix(const M4& r) {
    Matrix44 m;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) m(i, j) = static_cast<float>(r[i][j]);
    return m;
}

M4 ToRef(const Matrix44& m) {
    M4 r{};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) r[i][j] = m(i, j);
    return r;
}

Matrix44 FromRows(std::initializer_list<float> values) {
    Matrix44 m;
    int i = 0;
    for (float v : values) {
        m(i / 4, i % 4) = v;
        ++i;
    }
    return m;
}

::testing::AssertionResult Near(const Matrix44& expected, const Matrix44& actual, float tol) {
    if (actual.Equals(expected, tol)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "expected\n" << expected.ToString() << "actual\n" << actual.ToString();
}

template <typename Ex, typename F>
void ExpectThrowText(F&& f, const std::string& text) {
    try {
        f();
        FAIL() << "nothing thrown, expected: " << text;
    } catch (const Ex& e) {
        EXPECT_EQ(text, e.what());
    }
}

Matrix44 Abc2(double a, double b, double c) {
    Matrix44 m;
    m.SetRotationABCDeg2(a, b, c);
    return m;
}

Matrix44 Abc1(double a, double b, double c) {
    Matrix44 m;
    m.SetRotationABCDeg(a, b, c);
    return m;
}

// Angle difference folded into -180..180.
float AngleDiff(float a, float b) {
    float d = std::fmod(a - b, 360.0f);
    if (d > 180.0f) d -= 360.0f;
    if (d < -180.0f) d += 360.0f;
    return d;
}

}  // namespace

TEST(Matrix44, DefaultIsIdentityAndColumnConstructor) {
    EXPECT_TRUE(Near(ToMatrix(Eye()), Matrix44(), 0.0f));
    EXPECT_TRUE(Near(ToMatrix(Eye()), Matrix44::Identity(), 0.0f));
    const Matrix44 m(Vector3(1, 2, 3), Vector3(4, 5, 6), Vector3(7, 8, 9), Vector3(10, 11, 12));
    EXPECT_TRUE(Near(FromRows({1, 4, 7, 10, 2, 5, 8, 11, 3, 6, 9, 12, 0, 0, 0, 1}), m, 0.0f));
    EXPECT_FLOAT_EQ(15.0f, m.Trace3x3());
}

TEST(Matrix44, IndexOutOfRange) {
    Matrix44 m;
    const Matrix44& cm = m;
    const int bad[][2] = {{4, 0}, {0, -1}, {-1, 0}, {0, 4}, {100, 100}};
    for (const auto& rc : bad) {
        SCOPED_TRACE(std::to_string(rc[0]) + "," + std::to_string(rc[1]));
        ExpectThrowText<std::out_of_range>([&] { m(rc[0], rc[1]) = 1; }, "matrix index out of range");
        ExpectThrowText<std::out_of_range>([&] { (void)cm(rc[0], rc[1]); }, "matrix index out of range");
    }
    EXPECT_TRUE(Near(Matrix44(), m, 0.0f));
    EXPECT_THROW((void)m.GetColumnVector(4), std::out_of_range);
}

TEST(Matrix44, ProductIsTheReversedOrdinaryProduct) {
    Matrix44 a;
    a.SetRotationDeg(Matrix44::Z, 90);
    Matrix44 b;
    b.SetTranslation(1, 0, 0);
    const Vector3 ab = (a * b).GetTranslation();
    EXPECT_NEAR(1.0f, ab.x, 1e-6f);
    EXPECT_NEAR(0.0f, ab.y, 1e-6f);
    const Vector3 ba = (b * a).GetTranslation();
    EXPECT_NEAR(0.0f, ba.x, 1e-6f);
    EXPECT_NEAR(1.0f, ba.y, 1e-6f);

    // General dense matrices: a * b == b.a in ordinary notation.
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> dist(-3.0f, 3.0f);
    M4 ra{}, rb{};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            ra[i][j] = dist(rng);
            rb[i][j] = dist(rng);
        }
    const Matrix44 ma = ToMatrix(ra), mb = ToMatrix(rb);
    EXPECT_TRUE(Near(ToMatrix(Mul(ToRef(mb), ToRef(ma))), ma * mb, 1e-5f));
}

TEST(Matrix44, PointAndVectorProducts) {
    Matrix44 m;
    m.SetRotationDeg(Matrix44::Z, 90);
    m.SetTranslation(10, 20, 30);
    const Vector3 p = m * Vector3(1, 0, 5);
    EXPECT_NEAR(10.0f, p.x, 1e-5f);
    EXPECT_NEAR(21.0f, p.y, 1e-5f);
    EXPECT_NEAR(35.0f, p.z, 1e-5f);

    // The 4-vector product uses the whole matrix, last row included.
    const Matrix44 full = FromRows({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
    const VectorN v = full * VectorN(std::vector<float>{1, 0, -1, 2});
    EXPECT_EQ("(6.0, 14.0, 22.0, 30.0)", v.ToString(1));

    for (int n : {3, 5}) {
        ExpectThrowText<std::length_error>([&] { (void)(full * VectorN(n)); },
                                           "Matrix44: multiplication with VectorN of this length is not implemented");
    }
}

TEST(Matrix44, EqualsHonoursToleranceAndRejectsNonFinite) {
    Matrix44 a;
    Matrix44 b;
    b(1, 2) = 0.001f;
    EXPECT_TRUE(a.Equals(b, 0.001f));
    EXPECT_FALSE(a.Equals(b, 0.0009f));
    Matrix44 n;
    n(3, 3) = std::numeric_limits<float>::quiet_NaN();
    EXPECT_FALSE(n.Equals(n, 1.0f));
    EXPECT_FALSE(a.Equals(n, 1e30f));
    Matrix44 inf;
    inf(0, 0) = std::numeric_limits<float>::infinity();
    EXPECT_FALSE(inf.Equals(inf, std::numeric_limits<float>::infinity()));
}

TEST(Matrix44, ElementaryRotationsKeepTranslation) {
    struct Case {
        Matrix44::Axis axis;
        M4 (*ref)(double);
    };
    const Case cases[] = {{Matrix44::X, RotX}, {Matrix44::Y, RotY}, {Matrix44::Z, RotZ}};
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.axis));
        Matrix44 m;
        m.SetTranslation(Vector3(1, 2, 3));
        m.SetRotationDeg(c.axis, 37.0);
        M4 expected = c.ref(37.0);
        expected[0][3] = 1;
        expected[1][3] = 2;
        expected[2][3] = 3;
        EXPECT_TRUE(Near(ToMatrix(expected), m, 2e-6f));
        Matrix44 r;
        r.SetRotationRad(c.axis, 37.0 * kPi / 180.0);
        EXPECT_TRUE(Near(ToMatrix(c.ref(37.0)), r, 1e-6f));
    }
    Matrix44 m;
    m.SetRotationRad(static_cast<Matrix44::Axis>(3), 1.0);
    EXPECT_TRUE(Near(Matrix44(), m, 0.0f));
}

TEST(Matrix44, AbcSettersBuildTheirDocumentedRotations) {
    const double angles[][3] = {{30, 20, 10}, {-150, 45, 120}, {0, -90, 33}, {170, 89, -5}, {12, 0, 0}};
    for (const auto& a : angles) {
        SCOPED_TRACE(std::to_string(a[0]) + " " + std::to_string(a[1]) + " " + std::to_string(a[2]));
        Matrix44 m2;
        m2.SetTranslation(4, 5, 6);
        m2.SetRotationABCDeg2(a[0], a[1], a[2]);
        M4 zyx = Mul(Mul(RotZ(a[0]), RotY(a[1])), RotX(a[2]));
        zyx[0][3] = 4;
        zyx[1][3] = 5;
        zyx[2][3] = 6;
        EXPECT_TRUE(Near(ToMatrix(zyx), m2, 1e-6f));

        Matrix44 m1;
        m1.SetTranslation(4, 5, 6);
        m1.SetRotationABCDeg(a[0], a[1], a[2]);
        M4 xyz = Mul(Mul(RotX(a[2]), RotY(a[1])), RotZ(a[0]));
        xyz[0][3] = 4;
        xyz[1][3] = 5;
        xyz[2][3] = 6;
        EXPECT_TRUE(Near(ToMatrix(xyz), m1, 1e-5f));
    }

    const Matrix44 m = Abc1(30, 20, 10);
    EXPECT_NEAR(0.8138f, m(0, 0), 1e-4f);
    EXPECT_NEAR(-0.4698f, m(0, 1), 1e-4f);
    EXPECT_NEAR(0.3420f, m(0, 2), 1e-4f);
    EXPECT_FALSE(m.Equals(Abc2(30, 20, 10), 0.01f));

    // With a single non-zero angle the two setters agree.
    for (const auto& single : {std::array<double, 3>{40, 0, 0}, {0, -70, 0}, {0, 0, 110}}) {
        EXPECT_TRUE(Near(Abc2(single[0], single[1], single[2]), Abc1(single[0], single[1], single[2]), 1e-5f));
    }
}

TEST(Matrix44, GetAbcRoundTripsBothSetters) {
    struct Case {
        float a, b, c;     // built with
        float ea, eb, ec;  // read back by GetABCDeg from SetRotationABCDeg2
    };
    const Case cases[] = {
        {30, 20, 10, 30, 20, 10},
        {-120, -45, 170, -120, -45, 170},
        {179, 60, -179, 179, 60, -179},
        {0, 0, 0, 0, 0, 0},
        {45, 89.5f, 30, 45, 89.5f, 30},
        {45, -89.5f, 30, 45, -89.5f, 30},
        // Gimbal lock: A is taken as 0 and C carries C - A (B = 90) or C + A (B = -90).
        {30, 90, 50, 0, 90, 20},
        {10, 90, 0, 0, 90, -10},
        {30, -90, 50, 0, -90, 80},
        {-100, -90, 40, 0, -90, -60},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.a) + " " + std::to_string(c.b) + " " + std::to_string(c.c));
        const Matrix44 built = Abc2(c.a, c.b, c.c);
        float a, b, cc;
        built.GetABCDeg(&a, &b, &cc);
        EXPECT_NEAR(0.0f, AngleDiff(c.ea, a), 2e-3f);
        EXPECT_NEAR(c.eb, b, 2e-3f);
        EXPECT_NEAR(0.0f, AngleDiff(c.ec, cc), 2e-3f);
        // Whatever the angles, rebuilding from them gives the same rotation.
        EXPECT_TRUE(Near(built, Abc2(a, b, cc), 2e-6f));

        // The other setter: its block is the transpose of SetRotationABCDeg2(-A, -B, -C),
        // and the angles read from it rebuild it through SetRotationABCDeg2.
        const Matrix44 other = Abc1(c.a, c.b, c.c);
        Matrix44 transposed = other;
        transposed.Transpose();
        EXPECT_TRUE(Near(Abc2(-c.a, -c.b, -c.c), transposed, 1e-5f));
        other.GetABCDeg(&a, &b, &cc);
        EXPECT_TRUE(Near(other, Abc2(a, b, cc), 1e-5f));
    }
}

TEST(Matrix44, GetAbcRoundTripsRandomRotations) {
    std::mt19937 rng(42);
    std::uniform_real_distribution<float> ac(-179.0f, 179.0f);
    std::uniform_real_distribution<float> bd(-88.0f, 88.0f);
    for (int i = 0; i < 500; ++i) {
        const float A = ac(rng), B = bd(rng), C = ac(rng);
        float a, b, c;
        Abc2(A, B, C).GetABCDeg(&a, &b, &c);
        ASSERT_NEAR(A, a, 5e-3f) << A << " " << B << " " << C;
        ASSERT_NEAR(B, b, 5e-3f) << A << " " << B << " " << C;
        ASSERT_NEAR(C, c, 5e-3f) << A << " " << B << " " << C;
    }
}

TEST(Matrix44, InverseOfKnownMatrices) {
    struct Case {
        const char* name;
        Matrix44 m;
        Matrix44 inverse;
    };
    Matrix44 rot;  // Rz(90) with translation (1, 2, 3): inverse is Rz(-90), -(2, -1, 3)
    rot.SetRotationDeg(Matrix44::Z, 90);
    rot(0, 0) = rot(1, 1) = 0.0f;
    rot.SetTranslation(1, 2, 3);
    const Case cases[] = {
        {"identity", Matrix44(), Matrix44()},
        {"translation", FromRows({1, 0, 0, 5, 0, 1, 0, -6, 0, 0, 1, 7, 0, 0, 0, 1}),
         FromRows({1, 0, 0, -5, 0, 1, 0, 6, 0, 0, 1, -7, 0, 0, 0, 1})},
        {"rotation", rot, FromRows({0, 1, 0, -2, -1, 0, 0, 1, 0, 0, 1, -3, 0, 0, 0, 1})},
        {"scale", FromRows({2, 0, 0, 0, 0, 4, 0, 0, 0, 0, -5, 0, 0, 0, 0, 1}),
         FromRows({0.5f, 0, 0, 0, 0, 0.25f, 0, 0, 0, 0, -0.2f, 0, 0, 0, 0, 1})},
        // Zero diagonal: needs row and column interchanges.
        {"permutation", FromRows({0, 1, 0, 0, 0, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0, 1}),
         FromRows({0, 0, 1, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1})},
        {"anti-diagonal", FromRows({0, 0, 0, 2, 0, 0, 3, 0, 0, 4, 0, 0, 5, 0, 0, 0}),
         FromRows({0, 0, 0, 0.2f, 0, 0, 0.25f, 0, 0, 1.0f / 3, 0, 0, 0.5f, 0, 0, 0})},
        // Dense with an integer inverse and a full last row.
        {"dense", FromRows({2, 1, 1, 0, 1, 1, 0, 0, 1, 0, 1, 1, 0, 1, 0, 1}),
         FromRows({-1, 2, 1, -1, 1, -1, -1, 1, 2, -3, -1, 1, -1, 1, 1, 0})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Matrix44 inv = c.m.Inverse();
        EXPECT_TRUE(Near(c.inverse, inv, 1e-5f));
        EXPECT_TRUE(Near(Matrix44(), c.m * inv, 1e-5f));
        EXPECT_TRUE(Near(Matrix44(), inv * c.m, 1e-5f));
    }
}

TEST(Matrix44, InverseOfSingularMatrixThrows) {
    const Matrix44 zeroRow = FromRows({1, 2, 3, 4, 0, 0, 0, 0, 5, 6, 7, 8, 0, 0, 0, 1});
    const Matrix44 equalRows = FromRows({1, 2, 3, 4, 1, 2, 3, 4, 5, 6, 7, 9, 0, 0, 0, 1});
    Matrix44 zero = zeroRow;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) zero(i, j) = 0;
    for (const Matrix44& m : {zeroRow, equalRows, zero}) {
        ExpectThrowText<std::runtime_error>([&] { (void)m.Inverse(); }, "Matrix inversion: determinant is zero");
    }
}

TEST(Matrix44, InverseOfRandomPoses) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> angle(-180.0f, 180.0f);
    std::uniform_real_distribution<float> small(-1.0f, 1.0f);
    std::uniform_real_distribution<float> large(-1500.0f, 1500.0f);
    for (int i = 0; i < 300; ++i) {
        Matrix44 m;
        m.SetRotationABCDeg2(angle(rng), angle(rng) / 2, angle(rng));
        const bool big = i % 2 == 1;
        if (big) {
            m.SetTranslation(large(rng), large(rng), large(rng));
        } else {
            m.SetTranslation(small(rng), small(rng), small(rng));
        }
        const Matrix44 inv = m.Inverse();
        // Rigid transform: the inverse is [R^T, -R^T t].
        Matrix44 expected = m;
        expected.SetTranslation(0, 0, 0);
        expected.Transpose();
        const Vector3 t = expected * m.GetTranslation();
        expected.SetTranslation(-t);
        const float tol = big ? 5e-4f : 1e-6f;
        ASSERT_TRUE(Near(expected, inv, tol)) << i;
        ASSERT_TRUE(Near(Matrix44(), inv * m, tol)) << i;
        ASSERT_TRUE(Near(Matrix44(), m * inv, tol)) << i;
    }
}

TEST(Matrix44, TransposeColumnsAndTranslation) {
    Matrix44 m = FromRows({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
    m.Transpose();
    EXPECT_TRUE(Near(FromRows({1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15, 4, 8, 12, 16}), m, 0.0f));
    m.SetColumnVector(1, Vector3(-1, -2, -3));
    const Vector3 c = m.GetColumnVector(1);
    EXPECT_EQ(-2.0f, c.y);
    EXPECT_EQ(8.0f, m(3, 1));
    m.SetTranslation(7, 8, 9);
    EXPECT_EQ(8.0f, m.GetTranslation().y);
    EXPECT_EQ(8.0f, m(1, 3));
}

TEST(Matrix44, NormalizeColumns) {
    Matrix44 m = FromRows({2, 0, 0, 5, 0, 0, -3, 6, 0, 0.5f, 0, 7, 0, 0, 0, 1});
    m.Normalize();
    EXPECT_TRUE(Near(FromRows({1, 0, 0, 5, 0, 0, -1, 6, 0, 1, 0, 7, 0, 0, 0, 1}), m, 1e-6f));

    Matrix44 bad = FromRows({2, 0, 0, 5, 0, 0, 0, 6, 0, 3, 0, 7, 0, 0, 0, 1});
    const Matrix44 before = bad;
    ExpectThrowText<std::runtime_error>([&] { bad.Normalize(); }, "Tried to normalize matrix with zero column");
    EXPECT_TRUE(Near(before, bad, 0.0f));
}

TEST(Matrix44, AxisAngleBothWays) {
    const float s2 = std::sqrt(0.5f), s3 = 1.0f / std::sqrt(3.0f);
    struct Case {
        Vector3 axis;
        float angle;
    };
    const Case cases[] = {
        {Vector3(0, 0, 1), 90},       {Vector3(1, 0, 0), 30},      {Vector3(0, -1, 0), 135},
        {Vector3(s2, s2, 0), 60},     {Vector3(s3, -s3, s3), 179}, {Vector3(-1.0f / 3, 2.0f / 3, -2.0f / 3), 10},
        {Vector3(0, 0, 1), 0.01f},    {Vector3(s3, s3, s3), 120},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.axis.ToString() + " " + std::to_string(c.angle));
        Matrix44 m;
        m.SetTranslation(1, 2, 3);
        m.RotateAxisAngle(c.axis, c.angle);
        M4 expected = RotAxis(c.axis, c.angle);
        expected[0][3] = 1;
        expected[1][3] = 2;
        expected[2][3] = 3;
        EXPECT_TRUE(Near(ToMatrix(expected), m, 2e-6f));

        Vector3 axis;
        float angle = -1;
        m.GetAxisAngle(&axis, &angle);
        EXPECT_NEAR(c.angle, angle, c.angle > 170 ? 2e-3f : 1e-4f);
        const float tolAxis = c.angle < 1 ? 2e-3f : 1e-4f;
        EXPECT_NEAR(c.axis.x, axis.x, tolAxis);
        EXPECT_NEAR(c.axis.y, axis.y, tolAxis);
        EXPECT_NEAR(c.axis.z, axis.z, tolAxis);
    }
}

TEST(Matrix44, AxisAngleNegativeAngleGivesPositiveAngleAndReversedAxis) {
    Matrix44 m;
    m.RotateAxisAngle(Vector3(0, 1, 0), -40);
    Vector3 axis;
    float angle;
    m.GetAxisAngle(&axis, &angle);
    EXPECT_NEAR(40.0f, angle, 1e-4f);
    EXPECT_NEAR(-1.0f, axis.y, 1e-6f);
}

TEST(Matrix44, AxisAngleRotatesInTheBaseFrame) {
    // The rotation is applied on the left: R(k, angle) * M.
    Matrix44 m;
    m.SetRotationABCDeg2(10, 20, 30);
    const M4 expected = Mul(RotAxis(Vector3(1, 0, 0), 90), ToRef(m));
    m.RotateAxisAngle(Vector3(1, 0, 0), 90);
    EXPECT_TRUE(Near(ToMatrix(expected), m, 2e-6f));
}

TEST(Matrix44, AxisAngleOfHalfTurns) {
    const float s2 = std::sqrt(0.5f), s3 = 1.0f / std::sqrt(3.0f);
    const Vector3 axes[] = {Vector3(1, 0, 0),  Vector3(0, 1, 0),    Vector3(0, 0, 1),
                            Vector3(s2, -s2, 0), Vector3(-s3, s3, s3), Vector3(0.6f, 0, -0.8f),
                            Vector3(s3, s3, s3)};
    for (const Vector3& k : axes) {
        SCOPED_TRACE(k.ToString());
        const Matrix44 m = ToMatrix(RotAxis(k, 180));
        Vector3 axis;
        float angle;
        m.GetAxisAngle(&axis, &angle);
        EXPECT_NEAR(180.0f, angle, 1e-3f);
        // A half turn about k is one about -k: the axis must match up to its sign.
        const float sign = Vector3::Dot(axis, k) < 0 ? -1.0f : 1.0f;
        EXPECT_NEAR(k.x, sign * axis.x, 1e-3f);
        EXPECT_NEAR(k.y, sign * axis.y, 1e-3f);
        EXPECT_NEAR(k.z, sign * axis.z, 1e-3f);
        // And rotating back by it restores the identity.
        Matrix44 back = m;
        back.RotateAxisAngle(axis.Normalized(), angle);
        EXPECT_TRUE(Near(Matrix44(), back, 1e-5f));
    }
}

TEST(Matrix44, AxisAngleEdgeCases) {
    Vector3 axis(9, 9, 9);
    float angle = 9;
    Matrix44().GetAxisAngle(&axis, &angle);
    EXPECT_EQ(0.0f, angle);
    EXPECT_EQ(0.0f, axis.MagnitudeQ());

    Matrix44 m;
    ExpectThrowText<std::runtime_error>([&] { m.RotateAxisAngle(Vector3(0, 0, 2), 90); },
                                        "axis vector is not normalized");
    m.RotateAxisAngle(Vector3(0, 0, 2), 0.00005f);
    m.RotateAxisAngle(Vector3(0, 0, 1), 0.00005f);
    EXPECT_TRUE(Near(Matrix44(), m, 0.0f));
}

TEST(Matrix44, SolveLinear2) {
    struct Case {
        const char* name;
        float rows[3][3];  // W(i,0) x + W(i,1) y = W(i,2)
        bool ok;
        float x, y;
    };
    const Case cases[] = {
        {"general", {{1, 2, 5}, {3, -1, 1}, {0, 0, 0}}, true, 1, 2},
        {"general, third row consistent", {{1, 2, 5}, {3, -1, 1}, {2, 2, 6}}, true, 1, 2},
        {"first row without x", {{0, 2, 4}, {1, 1, 3}, {0, 0, 0}}, true, 1, 2},
        {"opposite signs", {{1, 1, 3}, {-1, 1, 1}, {0, 0, 0}}, true, 1, 2},
        {"scaled rows", {{2, 4, 10}, {-6, 2, -2}, {0, 0, 0}}, true, 1, 2},
        {"no x", {{0, 2, 4}, {0, 4, 8}, {0, 0, 0}}, true, 0, 2},
        {"no x, inconsistent", {{0, 2, 4}, {0, 4, 9}, {0, 0, 0}}, false, 0, 0},
        {"no y", {{2, 0, 4}, {3, 0, 6}, {0, 0, 0}}, true, 2, 0},
        {"no y, inconsistent", {{2, 0, 4}, {3, 0, 7}, {0, 0, 0}}, false, 0, 0},
        {"empty", {{0, 0, 1}, {0, 0, 2}, {0, 0, 0}}, false, 0, 0},
        {"single equation in x", {{4, 0, 2}, {0, 0, 0}, {0, 0, 0}}, true, 0.5f, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Matrix44 m;
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) m(i, j) = c.rows[i][j];
        m(0, 3) = 99;  // column 3 and row 3 take no part
        m(3, 0) = 99;
        const Matrix44 before = m;
        Vector3 result(7, 7, 7);
        EXPECT_EQ(c.ok, m.SolveLinear2(result));
        EXPECT_NEAR(c.x, result.x, 1e-5f);
        EXPECT_NEAR(c.y, result.y, 1e-5f);
        EXPECT_EQ(0.0f, result.z);
        EXPECT_TRUE(Near(before, m, 0.0f));
    }
}

TEST(Matrix44, ToStringFormat) {
    Matrix44 m;
    m.SetTranslation(1.5f, -2.25f, 1000);
    EXPECT_EQ(
        "( 1.000 0.000 0.000 1.500 )\n"
        "( 0.000 1.000 0.000 -2.250 )\n"
        "( 0.000 0.000 1.000 1000.000 )\n"
        "( 0.000 0.000 0.000 1.000 )\n",
        m.ToString());
}
