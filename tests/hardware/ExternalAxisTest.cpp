#include "hardware/ExternalAxis.h"

#include <gtest/gtest.h>

namespace {

TEST(ExternalAxis, Defaults) {
    const ExternalAxis axis;
    EXPECT_EQ(axis.index, 0);
    EXPECT_EQ(axis.name, "");
    EXPECT_EQ(axis.kinematic, ExternalAxis::Dependent);
    EXPECT_EQ(axis.motionMode, Hardware::JointModePosition);
    EXPECT_EQ(axis.canId, 0);
    EXPECT_EQ(axis.gearScale, 1.0);
    EXPECT_EQ(axis.min, -1000.0);
    EXPECT_EQ(axis.max, 1000.0);
    EXPECT_EQ(axis.dir, 1.0);
    EXPECT_EQ(axis.velMax, 0.0);
    EXPECT_EQ(axis.directionAngleToY, 0);
    EXPECT_FALSE(axis.flag);

    const ExternalAxis given(2, "Rail", Hardware::JointModeVelocity);
    EXPECT_EQ(given.index, 2);
    EXPECT_EQ(given.name, "Rail");
    EXPECT_EQ(given.motionMode, Hardware::JointModeVelocity);
    EXPECT_EQ(given.gearScale, 1.0);
    EXPECT_EQ(given.min, -1000.0);

    ExternalAxis copy;
    copy = given;
    EXPECT_EQ(copy.name, "Rail");
    EXPECT_EQ(copy.index, 2);
}

TEST(ExternalAxis, KinematicWords) {
    struct Case {
        const char* text;
        ExternalAxis::ExternalAxisKinematic kinematic;
    };
    for (const Case& c : {Case{"independent", ExternalAxis::Independent}, Case{"INDEPENDENT", ExternalAxis::Independent},
                          Case{"Independent", ExternalAxis::Independent}, Case{"indep", ExternalAxis::Dependent},
                          Case{"Dependent", ExternalAxis::Dependent}, Case{"", ExternalAxis::Dependent}}) {
        EXPECT_EQ(ExternalAxis::KinematicFromString(c.text), c.kinematic) << c.text;
    }
    EXPECT_EQ(ExternalAxis::KinematicToString(0), "Dependent");
    EXPECT_EQ(ExternalAxis::KinematicToString(1), "Independent");
    EXPECT_EQ(ExternalAxis::KinematicToString(7), "Independent");
}

TEST(ExternalAxis, MotionModeWords) {
    struct Case {
        const char* text;
        Hardware::JointMode mode;
    };
    for (const Case& c : {Case{"position", Hardware::JointModePosition}, Case{"Velocity", Hardware::JointModeVelocity},
                          Case{"Torque", Hardware::JointModeTorque}, Case{"TORQUE", Hardware::JointModeTorque},
                          Case{"", Hardware::JointModePosition}, Case{"speed", Hardware::JointModePosition}}) {
        EXPECT_EQ(ExternalAxis::MotionModeFromString(c.text), c.mode) << c.text;
    }
    EXPECT_EQ(ExternalAxis::MotionModeToString(2), "Velocity");
    EXPECT_EQ(ExternalAxis::MotionModeToString(10), "Torque");
    EXPECT_EQ(ExternalAxis::MotionModeToString(4), "Position");
    EXPECT_EQ(ExternalAxis::MotionModeToString(11), "Position");
}

TEST(ExternalAxis, ToStringByMode) {
    EXPECT_EQ(ExternalAxis().ToString(), "ID=0, CAN-ID=0, Mode=Position, Type=Dependent, Min=-1000, Max=1000");

    ExternalAxis position(1, "Rail", Hardware::JointModePosition);
    position.canId = 112;
    position.kinematic = ExternalAxis::Independent;
    position.min = -0.5;
    position.max = 2500.25;
    EXPECT_EQ(position.ToString(), "ID=1, CAN-ID=112, Mode=Position, Type=Independent, Min=-0.5, Max=2500.25");

    ExternalAxis velocity(2, "Belt", Hardware::JointModeVelocity);
    velocity.canId = 5;
    EXPECT_EQ(velocity.ToString(), "ID=2, CAN-ID=5, Mode=Velocity");

    ExternalAxis torque(0, "Press", Hardware::JointModeTorque);
    EXPECT_EQ(torque.ToString(), "ID=0, CAN-ID=0");
}

}  // namespace
