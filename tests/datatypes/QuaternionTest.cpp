#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <stdexcept>

#include "datatypes/Quaternion.h"

using DataTypes::Matrix44;
using DataTypes::Quaternion;
using DataTypes::Vector3;

namespace {

void ExpectNear(const Quaternion& e, const Quaternion& a, double tol = 1e-12) {
    EXPECT_NEAR(e.q0, a.q0, tol);
    EXPECT_NEAR(e.q1, a.q1, tol);
    EXPECT_NEAR(e.q2, a.q2, tol);
    EXPECT_NEAR(e.q3, a.q3, tol);
}

::testing::AssertionResult Near(const Matrix44& expected, const Matrix44& actual, float tol) {
    if (actual.Equals(expected, tol)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "expected\n" << expected.ToString() << "actual\n" << actual.ToString();
}

}  // namespace

TEST(Quaternion, Algebra) {
    const Quaternion one(1, 0, 0, 0);
    const Quaternion r(0.5, -1.5, 2, 3);
    ExpectNear(r, one * r);
    ExpectNear(r, r * one);
    ExpectNear(one, one.Inverse());

    // i*j = k, j*i = -k
    const Quaternion i(0, 1, 0, 0), j(0, 0, 1, 0);
    ExpectNear(Quaternion(0, 0, 0, 1), i * j);
    ExpectNear(Quaternion(0, 0, 0, -1), j * i);
    ExpectNear(Quaternion(0, 0, 0, 1), i.Cross(j));

    ExpectNear(one, r * r.Inverse());
    ExpectNear(Quaternion(0.5, 1.5, -2, -3), r.Conjugate());
    ExpectNear(Quaternion(1.5, -1.5, 2, 3), r + one);
    ExpectNear(Quaternion(-0.5, -1.5, 2, 3), r - one);
    ExpectNear(Quaternion(-0.5, 1.5, -2, -3), -r);
    ExpectNear(Quaternion(1, -3, 4, 6), r * 2.0);
    ExpectNear(Quaternion(0.25, -0.75, 1, 1.5), r / 2.0);
    EXPECT_DOUBLE_EQ(0.25 + 2.25 + 4 + 9, r.Dot(r));
    EXPECT_DOUBLE_EQ(std::sqrt(15.5), r.Norm());
    EXPECT_NEAR(1.0, r.Normalize().Norm(), 1e-15);
    EXPECT_EQ(0.5, r.RealPart());
    EXPECT_EQ(-1.5f, r.ImaginaryPart().x);
    EXPECT_THROW((void)Quaternion(0, 0, 0, 0).Normalize(), std::domain_error);
    EXPECT_THROW((void)Quaternion(0, 0, 0, 0).Inverse(), std::domain_error);
}

TEST(Quaternion, ExpAndLogAreInverse) {
    const Quaternion q(0.3, 0.2, -0.4, 0.1);
    ExpectNear(q, q.Exp().Log(), 1e-6);
    ExpectNear(q, q.Log().Exp(), 1e-6);
    // Zero imaginary part: a real exponential and logarithm.
    ExpectNear(Quaternion(std::exp(2.0), 0, 0, 0), Quaternion(2, 0, 0, 0).Exp());
    ExpectNear(Quaternion(std::log(3.0), 0, 0, 0), Quaternion(3, 0, 0, 0).Log());
}

TEST(Quaternion, AxisAngle) {
    ExpectNear(Quaternion(0, 0, 0, 0), Quaternion::FromAxisAngle(0.5, Vector3(0, 0, 0)));

    // The imaginary part points against the axis.
    const Quaternion q = Quaternion::FromAxisAngle(1.0, Vector3(0, 0, 2));
    ExpectNear(Quaternion(std::cos(0.5), 0, 0, -std::sin(0.5)), q);
    double angle = 0;
    Vector3 axis;
    q.ToAxisAngle(angle, axis);
    EXPECT_NEAR(1.0, angle, 1e-12);
    EXPECT_FLOAT_EQ(-1.0f, axis.z);

    Quaternion(1, 0, 0, 0).ToAxisAngle(angle, axis);
    EXPECT_EQ(0.0, angle);
    EXPECT_EQ(0.0f, axis.MagnitudeQ());
}

TEST(Quaternion, RotationMatrixReadsTheRealPartFirst) {
    EXPECT_TRUE(Near(Matrix44(), Quaternion(1, 0, 0, 0).ToRotationMatrix(), 0.0f));
    // (0, 0, 0, 1) is a half turn about Z.
    Matrix44 halfZ;
    halfZ(0, 0) = -1;
    halfZ(1, 1) = -1;
    EXPECT_TRUE(Near(halfZ, Quaternion(0, 0, 0, 1).ToRotationMatrix(), 0.0f));

    // cos(a/2) + sin(a/2) k rotates by a about k, as Matrix44::RotateAxisAngle does.
    const float s3 = 1.0f / std::sqrt(3.0f);
    const Vector3 k(s3, -s3, s3);
    const double a = 50.0 * 3.14159265358979323846 / 180.0;
    const Quaternion q(std::cos(a / 2), k.x * std::sin(a / 2), k.y * std::sin(a / 2), k.z * std::sin(a / 2));
    Matrix44 expected;
    expected.RotateAxisAngle(k, 50.0f);
    EXPECT_TRUE(Near(expected, q.ToRotationMatrix(), 2e-6f));
    // The Hamilton product composes rotations: p*q rotates like R(p).R(q), which
    // Matrix44 writes as R(q) * R(p).
    const Quaternion p = Quaternion(0.9, 0.1, 0.3, -0.2).Normalize();
    EXPECT_TRUE(Near(q.ToRotationMatrix() * p.ToRotationMatrix(), (p * q).ToRotationMatrix(), 2e-6f));
}

TEST(Quaternion, MatrixRoundTrips) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> angle(-180.0f, 180.0f);
    for (int i = 0; i < 300; ++i) {
        Matrix44 m;
        m.SetRotationABCDeg2(angle(rng), angle(rng) / 2, angle(rng));
        const Quaternion q = Quaternion::FromMatrix(m);
        EXPECT_NEAR(1.0, q.Norm(), 1e-12);
        EXPECT_GE(q.q0, 0.0);
        ASSERT_TRUE(Near(m, q.ToRotationMatrix(), 2e-6f)) << i;
    }
    // Half turns, where the real part vanishes.
    const float s2 = std::sqrt(0.5f);
    for (const Vector3& k : {Vector3(1, 0, 0), Vector3(0, 1, 0), Vector3(0, 0, 1), Vector3(s2, 0, -s2)}) {
        Matrix44 m;
        m.RotateAxisAngle(k, 180);
        ASSERT_TRUE(Near(m, Quaternion::FromMatrix(m).ToRotationMatrix(), 2e-6f)) << k.ToString();
    }
    const Quaternion q = Quaternion(0.2, -0.5, 0.7, 0.1).Normalize();
    ExpectNear(q, Quaternion::FromMatrix(q.ToRotationMatrix()), 1e-6);
}
