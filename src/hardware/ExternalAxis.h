#pragma once
// One external axis beside the robot (up to three): a linear or rotary axis
// that either carries the robot or moves on its own.

#include "hardware/JointMode.h"

#include <string>

class ExternalAxis {
public:
    enum ExternalAxisKinematic : int {
        Dependent = 0,    // the axis carries the robot: its value shifts the robot's base
        Independent = 1,  // the axis moves on its own
    };
    using JointMode = Hardware::JointMode;

    ExternalAxis();
    ExternalAxis(int index, const std::string& name, JointMode mode);

    // "independent" in any letter case gives Independent, anything else Dependent.
    static ExternalAxisKinematic KinematicFromString(const std::string& text);
    // "Independent" for a non-zero value, else "Dependent".
    static std::string KinematicToString(int kinematic);
    // "position" 4, "velocity" 2, "torque" 10 in any letter case; anything else 4.
    static JointMode MotionModeFromString(const std::string& text);
    // 2 "Velocity", 10 "Torque", anything else "Position".
    static std::string MotionModeToString(int mode);

    // The line logged when an axis is set.
    std::string ToString() const;

    int index = 0;                                          // "Number"
    std::string name;                                       // "Type"
    ExternalAxisKinematic kinematic = Dependent;            // "Kinematic"
    JointMode motionMode = Hardware::JointModePosition;     // "MotionMode"
    int canId = 0;                                          // "ID"
    double gearScale = 1.0;                                 // "GearScale": motor units per axis unit
    double min = -1000.0;                                   // "Min", mm or degrees
    double max = 1000.0;                                    // "Max"
    double velMax = 0.0;                                    // "VelMax"
    double acc = 0.0;                                       // "Acc"
    double accInc = 0.0;                                    // "AccInc"
    bool flag = false;  // the record carries a name in text (kept by the controller core)
    std::string text;
    int directionAngleToY = 0;                              // "DirectionAngleToY", degrees
    double lz0 = 0.0;                                       // "lz0"
    double dir = 1.0;                                       // "Dir"
    double offset = 0.0;                                    // "Offset"
};
