#pragma once
// Delta robot on three linear rails at azimuths 0, 120 and 240 degrees, each
// running from an upper to a lower end (possibly inclined). A carriage per
// rail (A1..A3, travel in mm from the upper end) holds a rod pair; an optional
// A4 turns the tool about its own Z axis. Forward kinematics is a
// trilateration of the three rod spheres, inverse kinematics a rod sphere
// meeting each rail's line. Throws 22 (out of reach) and 28 (no forward
// solution) besides the base codes.

#include <string>

#include "kinematics/RobotKinematic.h"

class RobotKinematicDeltaLinear : public RobotKinematic {
public:
    RobotKinematicDeltaLinear();
    ~RobotKinematicDeltaLinear() override;

    void clone(RobotKinematic* from) override;
    RobotKinematic* clone() override;
    void Init(const std::string& robotName, const std::string& robotType, const std::string& robotFile,
              int velocitySet) override;
    void SetJoints(const float* userJoints, bool check) override;
    void SetPosition(const DataTypes::Matrix44& target, float* joints) override;

    void ReadIniFile(const std::string& robotFile);
    // Rail ends, directions and platform joint offsets from the lengths.
    void PrepareKinematic();
    // Tool pose for internal joints; uses the carriage points. Throws 28.
    void ForwardKin(float* joints, DataTypes::Matrix44* pose);
    // A1..A3 for a tool pose; throws 22.
    void InverseKin(const DataTypes::Matrix44& target, float* joints);
    // Travel of rail i for the tool point p (tool taken off); throws 22.
    float ComputeOneJoint(int rail, const DataTypes::Vector3& p);
    // This geometry checks no rod angles.
    void checkLinkages(float* joints, const DataTypes::Vector3& p);
    // Root of the summed squared rod length errors at tool point p.
    float Fitness(float* joints, const DataTypes::Vector3& p);

    float mountZ = 700;
    float distZ1 = 100;
    float distZ2 = 200;
    float radius1 = 250;
    float radius2 = 50;
    float lengthJoint = 400;
    float distJoint = 30;
    float tcpRadius = 30;
    float tcpHeight = 20;
    bool fourthAxis = false;
    DataTypes::Vector3 railTop[3];
    DataTypes::Vector3 railBottom[3];
    DataTypes::Vector3 railDirection[3];
    DataTypes::Vector3 carriage[3];
    DataTypes::Vector3 tcpOffset[3];
    DataTypes::Vector3 jointHalfDistance[3];
    float maxLinkageAngle = 30;
    bool errorLogged = false;

private:
    void SetCarriages(const float* joints);
    [[noreturn]] void OutOfReach();
};
