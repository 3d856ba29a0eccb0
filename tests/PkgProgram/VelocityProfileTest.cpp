// Velocity profiles: durations and values against closed forms of the
// jerk-limited motion, the short-distance cases, and inputs that cannot plan.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "PkgProgram/PathBasicCurve.h"

using Programs::PathBasicCurve;

namespace {

PathBasicCurve Profile(float vel, float start, float end, float acc, float jerk, float length) {
    PathBasicCurve p;
    p.Vel = vel;
    p.VelStart = start;
    p.VelEnd = end;
    p.Acc = acc;
    p.AccInc = jerk;
    p.Length = length;
    p.PrepareAcceleration();
    return p;
}

// Speed in units/s at t ms from a central difference of the sampled distance.
double Speed(const PathBasicCurve& p, double t) {
    const double h = 2.0;
    return (p.GetValue(static_cast<float>(t + h)) - p.GetValue(static_cast<float>(t - h))) / (2.0 * h) * 1000.0;
}

}  // namespace

// Expected durations from the closed forms of an S-curve: with jerk J, acceleration A and
// velocity V a full acceleration takes A/J + V/A s and covers half of V times that; when
// A*A/J exceeds V it takes 2*sqrt(V/J) s; a distance too short for the jerk phases alone
// takes 2*(L/J)^(1/3) s per phase.
TEST(VelocityProfile, DurationsAndValuesMatchTheClosedForms) {
    const double sCurve = 1000.0 / 3000.0 + 500.0 / 1000.0;  // A/J + V/A at V 500, A 1000, J 3000
    const double jerkOnly = 2.0 * std::sqrt(100.0 / 3000.0);  // V 100 never reaches A
    const double shortPhase = 2.0 * std::cbrt(10.0 / 3000.0);   // 10 units for each phase
    struct Case {
        const char* name;
        float vel, start, end, acc, jerk, length;
        double seconds;  // expected total duration
        float reached;   // expected cruise velocity
    } cases[] = {
        {"rest to rest, acceleration limited", 500, 0, 0, 1000, 3000, 1000, sCurve + 1000.0 / 500.0, 500},
        {"rest to rest, velocity below the acceleration (test 1)", 100, 0, 0, 1000, 3000, 500, jerkOnly + 5.0, 100},
        {"rest to rest, too short for the jerk phases (test 2)", 500, 0, 0, 1000, 3000, 20, 2.0 * shortPhase,
         static_cast<float>(3000.0 * std::pow(shortPhase / 2.0, 2.0))},
        // Too short for the planned constant acceleration (test 3): the jerk phases alone, then cruise.
        {"rest to rest, test 3 down to no constant acceleration", 500, 0, 0, 1000, 3000, 224,
         4.0 / 3.0 + (224.0 - 2.0 * 3000.0 / 27.0) / (3000.0 / 9.0), 3000.0f / 9.0f},
        {"rest to cruise", 500, 0, 500, 1000, 3000, 1000, sCurve / 2.0 + 1000.0 / 500.0, 500},
        {"cruise to rest", 500, 500, 0, 1000, 3000, 1000, sCurve / 2.0 + 1000.0 / 500.0, 500},
        {"cruise to cruise", 250, 250, 250, 1000, 3000, 100, 100.0 / 250.0, 250},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const PathBasicCurve p = Profile(c.vel, c.start, c.end, c.acc, c.jerk, c.length);
        const double total = p.GetDurationInMs();
        EXPECT_NEAR(total, c.seconds * 1000.0, 1.0);
        EXPECT_NEAR(p.velocityReached, c.reached, 0.01f * c.reached);
        EXPECT_GE(p.accelerationPhase.duration1, 0.0f);
        EXPECT_GE(p.decelerationPhase.duration1, 0.0f);
        EXPECT_EQ(p.GetValue(0.0f), 0.0f);
        EXPECT_EQ(p.GetValue(static_cast<float>(total)), c.length);
        EXPECT_EQ(p.GetValue(static_cast<float>(total) + 100.0f), c.length);
        EXPECT_NEAR(Speed(p, 2.0), c.start, 0.02 * c.vel + 1.0);
        EXPECT_NEAR(Speed(p, total - 2.0), c.end, 0.02 * c.vel + 1.0);
        float previous = 0.0f;
        double lastSpeed = Speed(p, 2.0);
        for (double t = 5.0; t < total - 2.0; t += 5.0) {
            const float s = p.GetValue(static_cast<float>(t));
            ASSERT_GE(s, previous - 1e-3f) << "t " << t;
            previous = s;
            const double v = Speed(p, t);
            EXPECT_LE(v, c.vel * 1.001 + 0.5) << "t " << t;
            // Acceleration never above the planned one (5 ms steps, float rounding of the distance).
            EXPECT_LE(std::fabs(v - lastSpeed) * 200.0, c.acc * 1.01 + 20.0) << "t " << t;
            lastSpeed = v;
        }
        if (c.start == 0.0f && c.end == 0.0f) {
            EXPECT_NEAR(p.GetValue(static_cast<float>(total / 2.0)), c.length / 2.0f, 0.01f * c.length);
        }
    }
}

TEST(VelocityProfile, PhaseDetailsOfTheShortCases) {
    // Test 1: the velocity is reached without constant acceleration.
    Programs::PathBasicCurveAcc a;
    a.velSetPoint = 10.0f;
    a.acc = 100.0f;
    a.accInc = 300.0f;
    a.maxLength = 1000.0f;
    a.PrepareAcceleration();
    EXPECT_NEAR(a.duration0, std::sqrt(10.0 / 300.0), 1e-6);
    EXPECT_EQ(a.duration1, 0.0f);
    EXPECT_NEAR(a.velocityReached, 10.0f, 1e-4f);

    // Test 2: the distance is covered by the jerk phases alone.
    Programs::PathBasicCurveAcc b;
    b.velSetPoint = 500.0f;
    b.acc = 1000.0f;
    b.accInc = 3000.0f;
    b.maxLength = 10.0f;
    b.PrepareAcceleration();
    EXPECT_EQ(b.duration1, 0.0f);
    EXPECT_NEAR(b.lengthReached, 10.0f, 1e-3f);
    EXPECT_NEAR(b.velocityReached, 3000.0f * b.duration0 * b.duration0, 1e-3f);

    // Test 3 with overlapping sub-phases (its search used to end at a negative duration).
    Programs::PathBasicCurveAcc c;
    c.velSetPoint = 500.0f;
    c.acc = 1000.0f;
    c.accInc = 3000.0f;
    c.maxLength = 112.0f;
    c.PrepareAcceleration();
    EXPECT_EQ(c.duration1, 0.0f);
    EXPECT_LE(c.lengthReached, 112.0f);
    EXPECT_GE(c.t2, c.t1);
    // Deceleration mirrors the same curve in time.
    Programs::PathBasicCurveAcc d = c;
    d.decelerate = true;
    for (float t = 0.0f; t <= c.duration; t += 10.0f)
        EXPECT_NEAR(d.GetValue(t), c.lengthReached - c.GetValue(c.duration - t), 1e-3f);
}

TEST(VelocityProfile, ShortProfilesAdaptationAndConstantPhase) {
    // Below 0.01 units nothing is planned.
    PathBasicCurve tiny = Profile(0.0f, 0, 0, 0.0f, 0.0f, 0.005f);
    EXPECT_EQ(tiny.GetDurationInMs(), 0.0f);
    EXPECT_EQ(tiny.GetValue(0.0f), 0.005f);
    EXPECT_EQ(tiny.GetValue(50.0f), 0.005f);
    EXPECT_EQ(tiny.GetValue(-1.0f), 0.0f);

    PathBasicCurve p = Profile(100, 0, 0, 1000, 3000, 300);
    const PathBasicCurve unadapted = p;
    const float total = p.GetDurationInMs();
    p.AdaptToDuration(2.0f * total);
    EXPECT_FLOAT_EQ(p.scale, 0.5f);
    EXPECT_EQ(p.GetDurationInMs(), total);
    for (float t = 0.0f; t <= 2.0f * total; t += 37.0f) EXPECT_FLOAT_EQ(p.GetValue(t), unadapted.GetValue(t / 2.0f));
    EXPECT_THROW(p.AdaptToDuration(total / 2.0f), std::invalid_argument);
    EXPECT_FLOAT_EQ(p.scale, 0.5f);

    Programs::PathBasicCurveConst k;
    k.velocity = 50.0f;
    k.length = 20.0f;
    k.PrepareAcceleration();
    EXPECT_FLOAT_EQ(k.duration, 400.0f);
    EXPECT_EQ(k.GetValue(0.0f), 0.0f);
    EXPECT_EQ(k.GetValue(400.0f), 20.0f);
    EXPECT_FLOAT_EQ(k.GetValue(100.0f), 5.0f);
}

TEST(VelocityProfile, InputsThatCannotPlanAMotionAreRefused) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        const char* name;
        float vel, start, end, acc, jerk, length;
    } invalid[] = {
        {"no jerk", 100, 0, 0, 1000, 0, 50},      {"no velocity", 0, 0, 0, 1000, 3000, 50},
        {"no acceleration", 100, 0, 0, 0, 3000, 50}, {"negative acceleration", 100, 0, 0, -5, 3000, 50},
        {"negative jerk", 100, 0, 0, 1000, -1, 50},  {"NaN length", 100, 0, 0, 1000, 3000, nan},
        {"infinite velocity", inf, 0, 0, 1000, 3000, 50}, {"NaN jerk", 100, 0, 0, 1000, nan, 50},
        {"negative length", 100, 0, 0, 1000, 3000, -50},
    };
    for (const Case& c : invalid) {
        SCOPED_TRACE(c.name);
        EXPECT_THROW(Profile(c.vel, c.start, c.end, c.acc, c.jerk, c.length), std::invalid_argument);
    }
    try {
        Profile(100, 0, 0, 1000, 0, 50);
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "PathBasicCurveAcc: accInc must not be 0!");
    }
    // Start and end velocities other than 0 or the velocity are not planned; the curve stays as it was.
    PathBasicCurve p;
    p.Vel = 1.0f;
    p.VelStart = 0.3f;
    p.Length = 10.0f;
    try {
        p.PrepareAcceleration();
        FAIL() << "planned";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "PathBasicCurve: not planned motion type!");
    }
    EXPECT_EQ(p.GetDurationInMs(), 0.0f);
}
