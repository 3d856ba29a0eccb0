#include <gtest/gtest.h>

#include <string>

#include "datatypes/RobotState.h"

using DataTypes::Matrix44;
using DataTypes::RobotState;
using DataTypes::Vector3;

namespace {

// Gives every field a value that differs from its default and from its neighbours.
void Fill(RobotState& s, int seed) {
    const float f = static_cast<float>(seed);
    s.pose.SetRotationABCDeg2(10 + f, 20, 30);
    s.pose.SetTranslation(1 + f, 2, 3);
    s.A = 1.5f + f;
    s.B = 2.5f;
    s.C = 3.5f;
    s.vector = Vector3(4 + f, 5, 6);
    for (int i = 0; i < RobotState::maxJoints; ++i) {
        s.jointSetPoint[i] = f + i;
        s.jointActual[i] = f + 10 + i;
        s.jointVelocitySetPoint[i] = f + 20 + i;
        s.jointArray4[i] = f + 30 + i;
    }
    s.cartSpeed = 7 + f;
    for (int i = 0; i < 3; ++i) {
        s.toolValue[i] = f + 40 + i;
        s.toolHWValue[i] = f + 50 + i;
    }
    for (int i = 0; i < 4; ++i) {
        s.platformSetPoint[i] = f + 60 + i;
        s.platformActual[i] = f + 70 + i;
    }
    for (int i = 0; i < RobotState::maxIOs; ++i) {
        s.digitalInputs[i] = (i + seed) % 3 == 0;
        s.digitalOutputs[i] = (i + seed) % 5 == 0;
    }
    s.flag = true;
    s.override = 55 + f;
    s.errorText = "error " + std::to_string(seed);
    s.previousErrorText = "previous " + std::to_string(seed);
    for (int i = 0; i < RobotState::maxModules; ++i) {
        s.jointErrorCodes[i] = seed * 100 + i;
        s.jointCurrents[i] = seed * 200 + i;
        s.jointTemperatures[i] = f + 80 + i;
        s.jointTemperatures2[i] = f + 90 + i;
        s.jointsReferenced[i] = (i + seed) % 2 == 0;
    }
    s.kinematicState = 22 + seed;
    s.supply = 48 + seed;
    s.currentAll = 1000 + seed;
    s.eStop = 1 + seed;
    s.cpuTemperature = 45.5f + f;
    s.referenceStatus = 3 + seed;
    s.programCommandIndex = 4 + seed;
    s.programCommandCount = 12 + seed;
    s.programState = 2;
    s.programValue4 = 9 + seed;
    s.programText = "program " + std::to_string(seed);
    for (int i = 0; i < RobotState::maxSignals; ++i) {
        s.globalSignals[i] = (i + seed) % 7 == 0;
    }
}

// Every field except the previous error text.
void ExpectSameFields(const RobotState& e, const RobotState& a) {
    EXPECT_TRUE(e.pose.Equals(a.pose, 0.0f));
    EXPECT_EQ(e.A, a.A);
    EXPECT_EQ(e.B, a.B);
    EXPECT_EQ(e.C, a.C);
    EXPECT_EQ(e.vector.x, a.vector.x);
    for (int i = 0; i < RobotState::maxJoints; ++i) {
        EXPECT_EQ(e.jointSetPoint[i], a.jointSetPoint[i]) << i;
        EXPECT_EQ(e.jointActual[i], a.jointActual[i]) << i;
        EXPECT_EQ(e.jointVelocitySetPoint[i], a.jointVelocitySetPoint[i]) << i;
        EXPECT_EQ(e.jointArray4[i], a.jointArray4[i]) << i;
    }
    EXPECT_EQ(e.cartSpeed, a.cartSpeed);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(e.toolValue[i], a.toolValue[i]) << i;
        EXPECT_EQ(e.toolHWValue[i], a.toolHWValue[i]) << i;
    }
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(e.platformSetPoint[i], a.platformSetPoint[i]) << i;
        EXPECT_EQ(e.platformActual[i], a.platformActual[i]) << i;
    }
    for (int i = 0; i < RobotState::maxIOs; ++i) {
        EXPECT_EQ(e.digitalInputs[i], a.digitalInputs[i]) << i;
        EXPECT_EQ(e.digitalOutputs[i], a.digitalOutputs[i]) << i;
    }
    EXPECT_EQ(e.flag, a.flag);
    EXPECT_EQ(e.override, a.override);
    EXPECT_EQ(e.errorText, a.errorText);
    for (int i = 0; i < RobotState::maxModules; ++i) {
        EXPECT_EQ(e.jointErrorCodes[i], a.jointErrorCodes[i]) << i;
        EXPECT_EQ(e.jointCurrents[i], a.jointCurrents[i]) << i;
        EXPECT_EQ(e.jointTemperatures[i], a.jointTemperatures[i]) << i;
        EXPECT_EQ(e.jointTemperatures2[i], a.jointTemperatures2[i]) << i;
        EXPECT_EQ(e.jointsReferenced[i], a.jointsReferenced[i]) << i;
    }
    EXPECT_EQ(e.kinematicState, a.kinematicState);
    EXPECT_EQ(e.supply, a.supply);
    EXPECT_EQ(e.currentAll, a.currentAll);
    EXPECT_EQ(e.eStop, a.eStop);
    EXPECT_EQ(e.cpuTemperature, a.cpuTemperature);
    EXPECT_EQ(e.referenceStatus, a.referenceStatus);
    EXPECT_EQ(e.programCommandIndex, a.programCommandIndex);
    EXPECT_EQ(e.programCommandCount, a.programCommandCount);
    EXPECT_EQ(e.programState, a.programState);
    EXPECT_EQ(e.programValue4, a.programValue4);
    EXPECT_EQ(e.programText, a.programText);
    for (int i = 0; i < RobotState::maxSignals; ++i) {
        EXPECT_EQ(e.globalSignals[i], a.globalSignals[i]) << i;
    }
}

}  // namespace

TEST(RobotState, Defaults) {
    const RobotState s;
    EXPECT_TRUE(s.pose.Equals(Matrix44(), 0.0f));
    EXPECT_EQ(0.0f, s.A);
    EXPECT_EQ(0.0f, s.B);
    EXPECT_EQ(0.0f, s.C);
    EXPECT_EQ("n/a", s.errorText);
    EXPECT_EQ("", s.previousErrorText);
    EXPECT_EQ("", s.programText);
    EXPECT_EQ(0.0f, s.override);
    EXPECT_FALSE(s.flag);
    for (bool b : s.digitalInputs) EXPECT_FALSE(b);
    for (bool b : s.digitalOutputs) EXPECT_FALSE(b);
    for (bool b : s.jointsReferenced) EXPECT_FALSE(b);
    for (bool b : s.globalSignals) EXPECT_FALSE(b);
    for (float v : s.jointSetPoint) EXPECT_EQ(0.0f, v);
    for (int v : s.jointErrorCodes) EXPECT_EQ(0, v);
    EXPECT_EQ(64, RobotState::maxIOs);
    EXPECT_EQ(100, RobotState::maxSignals);
}

TEST(RobotState, CopyTakesEveryFieldButThePreviousErrorText) {
    RobotState source;
    Fill(source, 3);
    const RobotState copy(source);
    ExpectSameFields(source, copy);
    EXPECT_EQ("", copy.previousErrorText);
}

TEST(RobotState, AssignmentKeepsTheTargetsPreviousErrorText) {
    RobotState source;
    Fill(source, 3);
    RobotState target;
    Fill(target, 8);
    target = source;
    ExpectSameFields(source, target);
    EXPECT_EQ("previous 8", target.previousErrorText);

    const RobotState& self = target;
    target = self;
    ExpectSameFields(source, target);
    EXPECT_EQ("previous 8", target.previousErrorText);
}

TEST(RobotState, CopiesOwnTheirStrings) {
    RobotState source;
    source.errorText = "NoError";
    source.programText = "main.xml";
    RobotState copy(source);
    RobotState assigned;
    assigned = source;
    source.errorText += "_ESTOP";
    source.programText.assign(200, 'x');
    EXPECT_EQ("NoError", copy.errorText);
    EXPECT_EQ("main.xml", copy.programText);
    EXPECT_EQ("NoError", assigned.errorText);
    EXPECT_EQ("main.xml", assigned.programText);
}

TEST(RobotState, MatrixAndAnglesFollowEachOther) {
    RobotState s;
    s.pose.SetTranslation(1, 2, 3);
    s.A = 90;
    s.UpdateMatrixFromABC();
    const Vector3 x = s.pose.GetColumnVector(0);
    EXPECT_NEAR(0.0f, x.x, 1e-6f);
    EXPECT_NEAR(1.0f, x.y, 1e-6f);
    EXPECT_NEAR(0.0f, x.z, 1e-6f);
    EXPECT_EQ(2.0f, s.pose.GetTranslation().y);
    s.A = s.B = s.C = -1;
    s.UpdateABC();
    EXPECT_NEAR(90.0f, s.A, 1e-4f);
    EXPECT_NEAR(0.0f, s.B, 1e-4f);
    EXPECT_NEAR(0.0f, s.C, 1e-4f);

    // A rotation from the pose convention: Rz(A)*Ry(B)*Rx(C).
    s.A = 30;
    s.B = -20;
    s.C = 10;
    s.UpdateMatrixFromABC();
    Matrix44 expected;
    expected.SetRotationABCDeg2(30, -20, 10);
    expected.SetTranslation(1, 2, 3);
    EXPECT_TRUE(expected.Equals(s.pose, 0.0f));
    s.UpdateABC();
    EXPECT_NEAR(30.0f, s.A, 1e-3f);
    EXPECT_NEAR(-20.0f, s.B, 1e-3f);
    EXPECT_NEAR(10.0f, s.C, 1e-3f);
}

TEST(RobotState, ToStrings) {
    RobotState s;
    s.pose.SetTranslation(1, 2, 3);
    EXPECT_EQ("( 1.000000 2.000000 3.000000 )", s.ToStringPos());
    s.jointSetPoint[0] = -10.5f;
    s.jointSetPoint[1] = 0.25f;
    s.jointSetPoint[3] = 99;
    EXPECT_EQ("( -10.500000 0.250000 0.000000 )", s.ToStringJoints());
}
