#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "datatypes/BezierCasteljau.h"

using DataTypes::BezierCasteljau;
using DataTypes::Vector3;
using DataTypes::VectorN;

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

float At1D(const BezierCasteljau& b, float t) {
    float out = -999;
    b.Interpolate(t, &out);
    return out;
}

BezierCasteljau Line3D(const Vector3& from, const Vector3& to) {
    BezierCasteljau b(3);
    b.AddStartPoint(from);
    b.AddStartPoint(to);
    return b;
}

}  // namespace

TEST(BezierCasteljau, InterpolatesLinearAndQuadratic) {
    BezierCasteljau line(1);
    line.AddStartPoint(0.0f);
    line.AddStartPoint(10.0f);
    EXPECT_FLOAT_EQ(5.0f, At1D(line, 0.5f));
    EXPECT_FLOAT_EQ(0.0f, At1D(line, 0.0f));
    EXPECT_FLOAT_EQ(10.0f, At1D(line, 1.0f));
    EXPECT_FLOAT_EQ(15.0f, At1D(line, 1.5f));  // not clamped: extrapolates

    BezierCasteljau hump(1);
    for (float v : {0.0f, 10.0f, 0.0f}) hump.AddStartPoint(v);
    EXPECT_FLOAT_EQ(5.0f, At1D(hump, 0.5f));
    EXPECT_FLOAT_EQ(3.75f, At1D(hump, 0.25f));  // 2 t (1 - t) 10
}

TEST(BezierCasteljau, CubicMatchesBernsteinForm) {
    BezierCasteljau b(2);
    const float p[4][2] = {{0, 0}, {1, 3}, {4, 3}, {5, -1}};
    for (const auto& q : p) b.AddStartPoint(q);
    for (float t : {0.0f, 0.2f, 0.5f, 0.9f, 1.0f}) {
        const float u = 1 - t;
        float out[2];
        b.Interpolate(t, out);
        for (int d = 0; d < 2; ++d) {
            const float ref = u * u * u * p[0][d] + 3 * u * u * t * p[1][d] + 3 * u * t * t * p[2][d] + t * t * t * p[3][d];
            EXPECT_NEAR(ref, out[d], 1e-5f) << t << " " << d;
        }
    }
}

TEST(BezierCasteljau, ManyControlPoints) {
    // More points than fit in the stack scratch; a curve of constant points stays put.
    BezierCasteljau b(2);
    const float p[2] = {3, -4};
    for (int i = 0; i < 200; ++i) b.AddStartPoint(p);
    float out[2];
    b.Interpolate(0.37f, out);
    EXPECT_NEAR(3.0f, out[0], 1e-4f);
    EXPECT_NEAR(-4.0f, out[1], 1e-4f);
}

TEST(BezierCasteljau, AddStartPointForms) {
    BezierCasteljau b(3);
    b.AddStartPoint(2.0f);  // (2, 0, 0)
    b.AddStartPoint(VectorN(std::vector<float>{4, 6, 8}));
    float out[3];
    b.Interpolate(0.5f, out);
    EXPECT_FLOAT_EQ(3.0f, out[0]);
    EXPECT_FLOAT_EQ(3.0f, out[1]);
    EXPECT_FLOAT_EQ(4.0f, out[2]);
}

TEST(BezierCasteljau, Errors) {
    BezierCasteljau two(2);
    ExpectThrowText<std::invalid_argument>([&] { two.AddStartPoint(Vector3(1, 2, 3)); }, "Bezier: wrong dimension!");
    ExpectThrowText<std::invalid_argument>([&] { two.AddStartPoint(VectorN(3)); }, "Bezier: wrong dimension!");
    float out[2];
    ExpectThrowText<std::invalid_argument>([&] { two.Interpolate(0.5f, out); },
                                           "BezierCasteljau: not enough points to interpolate");
    ExpectThrowText<std::invalid_argument>([&] { (void)two.GetLength3D(10); },
                                           "BezierCasteljau: not enough points to interpolate");
    two.AddStartPoint(1.0f);
    ExpectThrowText<std::invalid_argument>([&] { two.Interpolate(0.5f, out); },
                                           "BezierCasteljau: not enough points to interpolate");
    double t = 0;
    EXPECT_THROW((void)two.ProceedCart(&t, 1.0, 0.01), std::invalid_argument);
    EXPECT_THROW(BezierCasteljau(0), std::invalid_argument);
}

TEST(BezierCasteljau, LengthCountsEveryDimension) {
    EXPECT_FLOAT_EQ(5.0f, Line3D(Vector3(0, 0, 0), Vector3(3, 4, 0)).GetLength3D(10));

    BezierCasteljau four(4);
    const float a[4] = {0, 0, 0, 0};
    const float b[4] = {1, 1, 1, 1};
    four.AddStartPoint(a);
    four.AddStartPoint(b);
    EXPECT_FLOAT_EQ(2.0f, four.GetLength3D(7));

    // A quarter-circle-like arc: the polygon approaches the arc length from below.
    BezierCasteljau arc(2);
    const float p0[2] = {1, 0}, p1[2] = {1, 0.5523f}, p2[2] = {0.5523f, 1}, p3[2] = {0, 1};
    for (const float* p : {p0, p1, p2, p3}) arc.AddStartPoint(p);
    const float coarse = arc.GetLength3D(4);
    const float fine = arc.GetLength3D(1000);
    EXPECT_LT(coarse, fine);
    EXPECT_NEAR(3.14159265f / 2, fine, 1e-3f);
    EXPECT_EQ(0.0f, arc.GetLength3D(0));
}

TEST(BezierCasteljau, ProceedCartWalksTheChordLength) {
    const BezierCasteljau line = Line3D(Vector3(0, 0, 0), Vector3(100, 0, 0));
    double t = 0.2;
    // Steps of 0.01 are 1 mm long: 2.5 mm passed at u = 0.23, then half a step back.
    const VectorN p = line.ProceedCart(&t, 2.5, 0.01);
    EXPECT_NEAR(0.225, t, 1e-9);
    EXPECT_NEAR(22.5f, p[0], 1e-4f);
    EXPECT_EQ(3, p.size());
}

TEST(BezierCasteljau, ProceedCartStopsAtTheEnd) {
    const BezierCasteljau line = Line3D(Vector3(0, 0, 0), Vector3(10, 0, 0));
    double t = 0;
    double expected = 0;
    while (expected < 1.0) expected += 0.01;  // the same accumulation as the walk
    expected -= 0.005;
    const VectorN p = line.ProceedCart(&t, 1000.0, 0.01);
    EXPECT_NEAR(0.995, t, 1e-9);
    EXPECT_DOUBLE_EQ(expected > 1.0 ? 1.0 : expected, t);
    EXPECT_NEAR(9.95f, p[0], 1e-4f);

    // Beyond the end: the end point, t untouched.
    t = 1.5;
    const VectorN end = line.ProceedCart(&t, 1.0, 0.01);
    EXPECT_EQ(1.5, t);
    EXPECT_FLOAT_EQ(10.0f, end[0]);

    // A zero distance still takes half a step back from where it started.
    t = 0.5;
    (void)line.ProceedCart(&t, 0.0, 0.1);
    EXPECT_NEAR(0.45, t, 1e-12);
}
