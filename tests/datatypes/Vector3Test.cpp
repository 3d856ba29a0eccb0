#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>

#include "datatypes/Vector3.h"

using DataTypes::Vector3;

namespace {

template <typename Ex, typename F>
void ExpectThrowText(F&& f, const std::string& text) {
    try {
        f();
        FAIL() << "nothing thrown, expected: " << text;
    } catch (const Ex& e) {
        EXPECT_EQ(text, e.what());
    }
}

void ExpectNear(const Vector3& expected, const Vector3& actual, float tol = 1e-5f) {
    EXPECT_NEAR(expected.x, actual.x, tol);
    EXPECT_NEAR(expected.y, actual.y, tol);
    EXPECT_NEAR(expected.z, actual.z, tol);
}

}  // namespace

TEST(Vector3, IndexAccessAndOutOfRangeLeavesVectorUnchanged) {
    Vector3 v(1, 2, 3);
    v[1] = 5;
    EXPECT_EQ(1.0f, v[0]);
    EXPECT_EQ(5.0f, v.y);
    EXPECT_EQ(3.0f, v[2]);
    ExpectThrowText<std::out_of_range>([&] { v[3] = 7; }, "vector component out of range");
    ExpectThrowText<std::out_of_range>([&] { (void)v[0xFFFFFFFFu]; }, "vector component out of range");
    const Vector3& cv = v;
    ExpectThrowText<std::out_of_range>([&] { (void)cv[3]; }, "vector component out of range");
    ExpectNear(Vector3(1, 5, 3), v, 0.0f);
}

TEST(Vector3, Arithmetic) {
    const Vector3 a(1, 2, 3);
    const Vector3 b(4, -5, 6);
    ExpectNear(Vector3(5, -3, 9), a + b);
    ExpectNear(Vector3(-3, 7, -3), a - b);
    ExpectNear(Vector3(-1, -2, -3), -a);
    ExpectNear(Vector3(2, 4, 6), a * 2.0f);
    ExpectNear(Vector3(0.5f, 1, 1.5f), a / 2.0f);
    ExpectNear(Vector3(2, 4, 6), a * 2.0);
    ExpectNear(Vector3(0.5f, 1, 1.5f), a / 2.0);
    Vector3 c = a;
    c += b;
    ExpectNear(Vector3(5, -3, 9), c);
    EXPECT_FLOAT_EQ(12.0f, Vector3::Dot(a, b));
    // (2*6 - 3*-5, 3*4 - 1*6, 1*-5 - 2*4)
    ExpectNear(Vector3(27, 6, -13), Vector3::Cross(a, b));
    EXPECT_FLOAT_EQ(5.0f, Vector3(3, 4, 0).Magnitude());
    EXPECT_FLOAT_EQ(25.0f, Vector3(3, 4, 0).MagnitudeQ());
}

TEST(Vector3, CosIsUnsignedAndZeroForZeroVectors) {
    EXPECT_FLOAT_EQ(1.0f, Vector3::Cos(Vector3(1, 0, 0), Vector3(-1, 0, 0)));
    EXPECT_FLOAT_EQ(0.0f, Vector3::Cos(Vector3(0, 0, 0), Vector3(1, 0, 0)));
    EXPECT_NEAR(std::sqrt(0.5f), Vector3::Cos(Vector3(2, 0, 0), Vector3(-1, 1, 0)), 1e-6f);
}

TEST(Vector3, AngleClampsTheDotProduct) {
    EXPECT_FLOAT_EQ(0.0f, Vector3::Angle(Vector3(2, 0, 0), Vector3(2, 0, 0)));  // dot 4
    EXPECT_NEAR(3.1415927f, Vector3::Angle(Vector3(-2, 0, 0), Vector3(2, 0, 0)), 1e-6f);
    EXPECT_NEAR(1.5707963f, Vector3::Angle(Vector3(1, 0, 0), Vector3(0, 1, 0)), 1e-6f);
}

TEST(Vector3, NormalizeOfTinyVector) {
    Vector3 tiny(0, 0, 0.00005f);
    tiny.Normalize();
    EXPECT_EQ(0.00005f, tiny.z);
    ExpectThrowText<std::runtime_error>([&] { (void)tiny.Normalized(); }, "tried to normalize zero length vector");

    Vector3 v(0, 3, 4);
    ExpectNear(Vector3(0, 0.6f, 0.8f), v.Normalized());
    v.Normalize();
    ExpectNear(Vector3(0, 0.6f, 0.8f), v);
}

TEST(Vector3, RotationsFollowTheRightHandRule) {
    struct Case {
        const char* name;
        void (Vector3::*rotate)(float);
        Vector3 in;
        Vector3 out;
    };
    const Case cases[] = {
        {"X", &Vector3::RotateXDeg, Vector3(0, 1, 0), Vector3(0, 0, 1)},
        {"Y", &Vector3::RotateYDeg, Vector3(0, 0, 1), Vector3(1, 0, 0)},
        {"Z", &Vector3::RotateZDeg, Vector3(1, 0, 0), Vector3(0, 1, 0)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Vector3 v = c.in;
        (v.*c.rotate)(90.0f);
        ExpectNear(c.out, v);
    }
    Vector3 v(1, 2, 3);
    v.RotateZRad(3.1415927f / 2.0f);
    ExpectNear(Vector3(-2, 1, 3), v);
}

TEST(Vector3, ToStringFormat) {
    EXPECT_EQ("(1.0, 2.0, 3.0)", Vector3(1, 2, 3).ToString());
    EXPECT_EQ("(-0.5, 10.3, 0.0)", Vector3(-0.5f, 10.26f, 0).ToString());
}

TEST(Vector3, CreateCoordSystemBuildsAFrame) {
    Vector3 a(0, 0, 2);
    Vector3 b(0, 3, 3);
    Vector3 c;
    Vector3::CreateCoordSystem(a, b, c);
    ExpectNear(Vector3(0, 0, 1), a);
    // c = b x a with b normalised: (0, 0.707, 0.707) x (0, 0, 1), not unit length.
    ExpectNear(Vector3(0.7071068f, 0, 0), c);
    ExpectNear(Vector3::Cross(a, c), b);
    EXPECT_NEAR(0.0f, Vector3::Dot(a, b), 1e-6f);
    EXPECT_NEAR(0.0f, Vector3::Dot(b, c), 1e-6f);
}

TEST(Vector3, CreateCoordSystemReplacesAParallelSecondDirection) {
    for (const Vector3& second : {Vector3(0, 0, 5), Vector3(0, 0, -1), Vector3(0.01f, 0, 1)}) {
        Vector3 a(0, 0, 1);
        Vector3 b = second;
        Vector3 c;
        Vector3::CreateCoordSystem(a, b, c);
        SCOPED_TRACE(second.ToString());
        // b was replaced by X: c = X x Z = -Y, b = Z x -Y = X.
        ExpectNear(Vector3(0, -1, 0), c);
        ExpectNear(Vector3(1, 0, 0), b);
    }
}
