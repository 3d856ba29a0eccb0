#pragma once
// Planar delta in the XZ plane: a left and a right linear rail (A1, A2, travel
// in mm from each rail's first end) each carry a rod; the rods meet in one
// point that carries the tool. Y is always 0. Kinematic failures are thrown
// as std::runtime_error besides the base's int codes.

#include <string>

#include "kinematics/RobotKinematic.h"

class RobotKinematicDelta2Linear : public RobotKinematic {
public:
    RobotKinematicDelta2Linear();
    ~RobotKinematicDelta2Linear() override;

    void clone(RobotKinematic* from) override;
    RobotKinematic* clone() override;
    void Init(const std::string& robotName, const std::string& robotType, const std::string& robotFile,
              int velocitySet) override;
    void SetJoints(const float* userJoints, bool check) override;
    void SetPosition(const DataTypes::Matrix44& target, float* joints) override;

    void ReadIniFile(const std::string& robotFile);
    void PrepareKinematic();
    // Tool pose from the carriage points; throws "not reachable".
    void ForwardKin(float* joints, DataTypes::Matrix44* pose);
    // A1 and A2 for a tool pose; throws "not reachable".
    void InverseKin(const DataTypes::Matrix44& target, float* joints);
    // Both work in the XZ plane and return the number of points found (0, 1 or 2).
    int FindCircleCircleIntersections(const DataTypes::Vector3& c0, float r0, const DataTypes::Vector3& c1, float r1,
                                      DataTypes::Vector3* s1, DataTypes::Vector3* s2);
    // Line through p1 and p2; s2 is the point of the smaller line parameter.
    int FindLineCircleIntersections(const DataTypes::Vector3& centre, float r, const DataTypes::Vector3& p1,
                                    const DataTypes::Vector3& p2, DataTypes::Vector3* s1, DataTypes::Vector3* s2);

    float mountZ = 760;
    float railLUX = 100;
    float railLUZ = 200;
    float railLDX = 250;
    float railLDZ = 50;
    float railRUX = 100;
    float railRUZ = 200;
    float railRDX = 250;
    float railRDZ = 50;
    float distStab = 30;
    float lengthJoint = 400;
    float tcpLeft = 10;
    float tcpRight = 10;
    float tcpHeight = 20;
    float connDepth = 10;
    DataTypes::Vector3 railTop[2];
    DataTypes::Vector3 railBottom[2];
    DataTypes::Vector3 railDirection[2];
    DataTypes::Vector3 carriage[2];
    DataTypes::Vector3 connLeft[3];
    DataTypes::Vector3 connRight[3];
};
