#pragma once
// The robot's state and set-point record, copied whole between the robot
// thread, the interpolators, the drivers, the servers and the display.
//
// A plain value type holding std::string members: it is not safe to copy while
// another thread assigns it. The owner of a shared record (the robot master's
// published state) guards the end-of-cycle assignment and every reader's copy
// with one mutex; readers then work on their own copy.

#include <string>

#include "datatypes/Matrix44.h"
#include "datatypes/Vector3.h"

namespace DataTypes {

class RobotState {
public:
    static const int maxIOs = 64;
    static const int maxSignals = 100;
    static const int maxJoints = 9;
    static const int maxModules = 16;

    RobotState();
    // Takes every field except the previous error text, which starts empty.
    RobotState(const RobotState& other);
    // Takes every field except the previous error text, which keeps its value.
    RobotState& operator=(const RobotState& other);
    ~RobotState();

    // A, B, C := the angles of the pose.
    void UpdateABC();
    // Rotation of the pose := Rz(A)*Ry(B)*Rx(C); the translation stays.
    void UpdateMatrixFromABC();

    // "( x y z )" of the pose's translation.
    std::string ToStringPos() const;
    // "( j1 j2 j3 )" of the first three joint set-points.
    std::string ToStringJoints() const;

    Matrix44 pose;
    float A = 0.0f;
    float B = 0.0f;
    float C = 0.0f;
    Vector3 vector;
    // Robot joints 1 to 6 at 0..5, external axes 1 to 3 at 6..8.
    float jointSetPoint[maxJoints] = {};
    float jointActual[maxJoints] = {};
    float jointVelocitySetPoint[maxJoints] = {};
    float jointArray4[maxJoints] = {};
    float cartSpeed = 0.0f;
    float toolValue[3] = {};
    float toolHWValue[3] = {};
    float platformSetPoint[4] = {};
    float platformActual[4] = {};
    bool digitalInputs[maxIOs] = {};
    bool digitalOutputs[maxIOs] = {};
    bool flag = false;
    float override = 0.0f;
    std::string errorText = "n/a";
    // The robot thread's memory of the last error text it saw; never copied.
    std::string previousErrorText;
    // Indexed as the driver's joint records.
    int jointErrorCodes[maxModules] = {};
    int kinematicState = 0;
    int supply = 0;
    int currentAll = 0;
    int jointCurrents[maxModules] = {};
    int eStop = 0;
    float jointTemperatures[maxModules] = {};
    float jointTemperatures2[maxModules] = {};
    float cpuTemperature = 0.0f;
    int referenceStatus = 0;
    bool jointsReferenced[maxModules] = {};
    int programCommandIndex = 0;
    int programCommandCount = 0;
    int programState = 0;
    int programValue4 = 0;
    std::string programText;
    bool globalSignals[maxSignals] = {};

private:
    void CopyFrom(const RobotState& other);
};

}  // namespace DataTypes
