// Adding external axes to a geometry. Builds once test_kinematics links
// korvella_hardware (ExternalAxis lives there).

#include <gtest/gtest.h>

#include "KinTestSupport.h"
#include "hardware/ExternalAxis.h"
#include "kinematics/RobotKinematicSixAxis.h"

using KinTest::LogCapture;

TEST(KinematicExternalAxes, AddExternalAxisFillsTheNextSlot) {
    RobotKinematicSixAxis kin;
    ExternalAxis rail;
    rail.kinematic = ExternalAxis::Dependent;
    rail.lz0 = 250;
    rail.directionAngleToY = 180;
    rail.min = -500;
    rail.max = 1500;
    rail.velMax = 300;
    rail.acc = 900;
    rail.accInc = 2700;
    ExternalAxis turntable;
    turntable.kinematic = ExternalAxis::Independent;
    turntable.lz0 = 99;

    LogCapture log;
    kin.AddExternalAxis(rail);
    kin.AddExternalAxis(turntable);
    EXPECT_EQ(kin.nrOfExternalAxes, 2);
    EXPECT_TRUE(kin.extAxisPresent[0]);
    EXPECT_FALSE(kin.extAxisIndependent[0]);
    EXPECT_EQ(kin.extAxisBaseOffset[0].z, 250);
    EXPECT_EQ(kin.directionAngleToY[0], 180);
    EXPECT_EQ(kin.jointLimits[6][0], -500);
    EXPECT_EQ(kin.jointLimits[6][1], 1500);
    EXPECT_EQ(kin.maxJointVelocities[6], 300);
    EXPECT_EQ(kin.maxJointAccelerations[6], 900);
    EXPECT_EQ(kin.maxJointAccelerationIncs[6], 2700);
    EXPECT_TRUE(kin.extAxisIndependent[1]);
    EXPECT_EQ(kin.extAxisBaseOffset[1].z, 0);
    EXPECT_TRUE(log.Has(
        "Kin: Ext1 - lz0: 250.0  DirectionAngleToY: 180  Min: -500.0  Max: 1500.0  -  MaxVel: 300.0  -  MaxAcc: 900.0"));

    // The rail at 200 shifts the base by (0, -200, 250).
    const float j[9] = {0, 0, 0, 0, 0, 0, 200, 45, 0};
    const DataTypes::Vector3 s = kin.ComputeLinearAxisPositionOffset(j);
    EXPECT_EQ(s.x, 0);
    EXPECT_EQ(s.y, -200);
    EXPECT_EQ(s.z, 250);
}

TEST(KinematicExternalAxes, FourthAxisIsRefused) {
    RobotKinematicSixAxis kin;
    ExternalAxis axis;
    for (int i = 0; i < 3; ++i) kin.AddExternalAxis(axis);
    const float limitBefore = kin.jointLimits[8][1];
    LogCapture log;
    axis.max = 5;
    kin.AddExternalAxis(axis);
    EXPECT_TRUE(log.Has("Cannot add more then 3 External Joints!"));
    EXPECT_EQ(kin.nrOfExternalAxes, 3);
    EXPECT_EQ(kin.jointLimits[8][1], limitBefore);
}
