// The jog ramps: speeds that change by at most one acceleration step per
// cycle, the fast deceleration when every request is zero, pass-through when
// off, and set-up values that could never stop a jog.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "controller/JogAccelControlCart.h"
#include "controller/JogAccelControlJoint.h"

namespace {

struct Rates {
    float acceleration[9];
    float fastDeceleration[9];
};

Rates Uniform(float acceleration, float fastDeceleration) {
    Rates r{};
    for (int i = 0; i < 9; ++i) {
        r.acceleration[i] = acceleration;
        r.fastDeceleration[i] = fastDeceleration;
    }
    return r;
}

// Runs the joint ramp on one target for joint `joint` until it settles; returns every output of that joint.
std::vector<double> RampJoint(JogAccelControlJoint& ramp, int joint, double target, int maxCycles = 1000) {
    double targets[9] = {};
    targets[joint] = target;
    double out[9] = {};
    std::vector<double> outputs;
    for (int i = 0; i < maxCycles; ++i) {
        ramp.SetTargetVel(targets, out);
        outputs.push_back(out[joint]);
        if (out[joint] == target) break;
    }
    return outputs;
}

TEST(JogAccelControlJoint, InactivePassesTargetsThroughInTheSameCall) {
    JogAccelControlJoint ramp;
    const Rates r = Uniform(45.0f, 180.0f);
    ramp.Init(false, 10, r.acceleration, r.fastDeceleration);
    const double targets[9] = {10, -20, 0, 100, -100, 0.5, 0, 0, 3};
    double out[9];
    ramp.SetTargetVel(targets, out);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(out[i], targets[i]) << i;
    // Nothing was remembered: switched on, it starts from standstill.
    ramp.Init(true, 10, r.acceleration, r.fastDeceleration);
    ramp.SetTargetVel(targets, out);
    EXPECT_NEAR(out[0], 0.45, 1e-12);
}

TEST(JogAccelControlJoint, RampsUpByOneStepPerCycleAndEndsExactlyOnTheTarget) {
    for (double target : {10.0, -10.0}) {
        JogAccelControlJoint ramp;
        const Rates r = Uniform(45.0f, 180.0f);
        ramp.Init(true, 10, r.acceleration, r.fastDeceleration);
        const std::vector<double> outputs = RampJoint(ramp, 2, target);
        ASSERT_EQ(outputs.size(), 23u) << "0.45 per cycle: 22 steps to 9.9, then 10";
        for (std::size_t i = 0; i + 1 < outputs.size(); ++i)
            EXPECT_NEAR(std::fabs(outputs[i]), 0.45 * static_cast<double>(i + 1), 1e-9) << i;
        EXPECT_EQ(outputs.back(), target);
        for (double v : outputs) EXPECT_LE(std::fabs(v), 10.0);
    }
}

TEST(JogAccelControlJoint, LettingGoOfEveryKeyUsesTheFastDeceleration) {
    JogAccelControlJoint ramp;
    Rates r = Uniform(45.0f, 180.0f);
    r.fastDeceleration[1] = 360.0f;
    ramp.Init(true, 10, r.acceleration, r.fastDeceleration);
    const double moving[9] = {10, 10, 0, 0, 0, 0, 0, 0, 0};
    double out[9];
    for (int i = 0; i < 30; ++i) ramp.SetTargetVel(moving, out);
    ASSERT_EQ(out[0], 10.0);

    const double none[9] = {};
    ramp.SetTargetVel(none, out);
    EXPECT_NEAR(out[0], 10.0 - 1.8, 1e-9);
    EXPECT_NEAR(out[1], 10.0 - 3.6, 1e-9) << "each joint its own deceleration";
    const std::vector<double> rest = RampJoint(ramp, 0, 0.0);
    EXPECT_EQ(rest.size(), 5u) << "8.2 at 1.8 per cycle";
    EXPECT_EQ(rest.back(), 0.0);
}

TEST(JogAccelControlJoint, OneRequestAnywhereKeepsTheNormalAccelerationForEveryJoint) {
    JogAccelControlJoint ramp;
    const Rates r = Uniform(45.0f, 180.0f);
    ramp.Init(true, 10, r.acceleration, r.fastDeceleration);
    double targets[9] = {10, 0, 0, 0, 0, 0, 0, 0, 0};
    double out[9];
    for (int i = 0; i < 30; ++i) ramp.SetTargetVel(targets, out);
    targets[0] = 0.0;
    targets[8] = -0.001;  // the smallest request on the last joint
    ramp.SetTargetVel(targets, out);
    EXPECT_NEAR(out[0], 10.0 - 0.45, 1e-9);
    EXPECT_EQ(out[8], -0.001) << "within one step: no overshoot";
}

TEST(JogAccelControlJoint, ResetStartsTheNextCallFromStandstill) {
    JogAccelControlJoint ramp;
    const Rates r = Uniform(45.0f, 180.0f);
    ramp.Init(true, 10, r.acceleration, r.fastDeceleration);
    RampJoint(ramp, 4, 10.0);
    ramp.Reset();
    const double targets[9] = {0, 0, 0, 0, -10, 0, 0, 0, 0};
    double out[9];
    ramp.SetTargetVel(targets, out);
    EXPECT_NEAR(out[4], -0.45, 1e-12);
}

TEST(JogAccelControlJoint, RatesThatCouldNeverStopAJogKeepTheirPreviousValue) {
    JogAccelControlJoint ramp;
    Rates r = Uniform(100.0f, 400.0f);
    ramp.Init(true, 20, r.acceleration, r.fastDeceleration);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    r.acceleration[0] = 0.0f;
    r.acceleration[1] = -50.0f;
    r.acceleration[2] = nan;
    r.acceleration[3] = 60.0f;
    r.fastDeceleration[0] = 0.0f;
    r.fastDeceleration[1] = -1.0f;
    r.fastDeceleration[2] = inf;
    r.fastDeceleration[3] = 240.0f;
    ramp.Init(true, 0, r.acceleration, r.fastDeceleration);
    EXPECT_DOUBLE_EQ(ramp.GetCycleSeconds(), 0.02) << "a cycle of 0 ms keeps the previous one";
    for (int j = 0; j < 3; ++j) {
        EXPECT_DOUBLE_EQ(ramp.GetAcceleration(j), 100.0) << j;
        EXPECT_DOUBLE_EQ(ramp.GetFastDeceleration(j), 400.0) << j;
    }
    EXPECT_DOUBLE_EQ(ramp.GetAcceleration(3), 60.0);
    EXPECT_DOUBLE_EQ(ramp.GetFastDeceleration(3), 240.0);

    // A jog on joint 1 still stops once let go.
    RampJoint(ramp, 1, 50.0);
    EXPECT_EQ(RampJoint(ramp, 1, 0.0).back(), 0.0);
}

TEST(JogAccelControlCart, InactivePassesBothSpeedsThrough) {
    JogAccelControlCart ramp;
    ramp.Init(false, 10, 500, 1500, 45, 180);
    double linear = 0, orientation = 0;
    ramp.SetTargetVel(250.0, -30.0, &linear, &orientation);
    EXPECT_EQ(linear, 250.0);
    EXPECT_EQ(orientation, -30.0);
}

TEST(JogAccelControlCart, BothSpeedsRampWithTheirOwnRatesAndNeverOvershoot) {
    JogAccelControlCart ramp;
    ramp.Init(true, 10, 500, 1500, 45, 180);
    double linear = 0, orientation = 0;
    ramp.SetTargetVel(100.0, 1.0, &linear, &orientation);
    EXPECT_NEAR(linear, 5.0, 1e-12);
    EXPECT_NEAR(orientation, 0.45, 1e-12);
    ramp.SetTargetVel(100.0, 1.0, &linear, &orientation);
    EXPECT_NEAR(linear, 10.0, 1e-12);
    EXPECT_NEAR(orientation, 0.9, 1e-12) << "not 1.35";
    ramp.SetTargetVel(100.0, 1.0, &linear, &orientation);
    EXPECT_EQ(orientation, 1.0);
    for (int i = 0; i < 30; ++i) ramp.SetTargetVel(100.0, 1.0, &linear, &orientation);
    EXPECT_EQ(linear, 100.0);

    // Only the orientation request left: the linear speed slows with the normal rate.
    ramp.SetTargetVel(0.0, 1.0, &linear, &orientation);
    EXPECT_NEAR(linear, 95.0, 1e-9);
    // Both zero: fast rates.
    ramp.SetTargetVel(0.0, 0.0, &linear, &orientation);
    EXPECT_NEAR(linear, 80.0, 1e-9);
    EXPECT_EQ(orientation, 0.0) << "1.8 per cycle reaches 0 at once";

    ramp.Reset();
    ramp.SetTargetVel(-100.0, 0.0, &linear, &orientation);
    EXPECT_NEAR(linear, -5.0, 1e-12);
    ramp.SetTargetVel(-100.0, 0.0, nullptr, nullptr);  // results not wanted
}

TEST(JogAccelControlCart, UnusableRatesKeepThePreviousOnes) {
    JogAccelControlCart ramp;
    ramp.Init(true, 10, 500, 1500, 45, 180);
    ramp.Init(true, -5, 0.0, -1.0, std::numeric_limits<double>::quiet_NaN(), 90.0);
    EXPECT_DOUBLE_EQ(ramp.GetCycleSeconds(), 0.01);
    EXPECT_DOUBLE_EQ(ramp.GetLinearAcceleration(), 500.0);
    EXPECT_DOUBLE_EQ(ramp.GetLinearFastDeceleration(), 1500.0);
    EXPECT_DOUBLE_EQ(ramp.GetOrientationAcceleration(), 45.0);
    EXPECT_DOUBLE_EQ(ramp.GetOrientationFastDeceleration(), 90.0);
}

}  // namespace
