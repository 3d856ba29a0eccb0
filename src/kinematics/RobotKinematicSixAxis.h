#pragma once
// Six-joint articulated arm: base axis A1 (Z), shoulder A2 and elbow A3 (Y),
// spherical wrist A4 (Z), A5 (Y), A6 (Z). The inverse kinematics follows the
// arm configuration (front/back, elbow branch, wrist sign) of the joints last
// given to SetJoints, and picks each angle nearest to the last accepted one.

#include <string>

#include "kinematics/RobotKinematic.h"

class RobotKinematicSixAxis : public RobotKinematic {
public:
    RobotKinematicSixAxis();
    ~RobotKinematicSixAxis() override;

    void clone(RobotKinematic* from) override;
    RobotKinematic* clone() override;
    // Differential wrist: motor 5 = A5 - A6, motor 6 = A5 + A6, and back.
    void AdaptJointsToMotors(float* joints) override;
    void AdaptMotorsToJoints(float* joints) override;
    void Init(const std::string& robotName, const std::string& robotType, const std::string& robotFile,
              int velocitySet) override;
    void SetJoints(const float* userJoints, bool check) override;
    void SetPosition(const DataTypes::Matrix44& target, float* joints) override;

    void ReadIniFile(const std::string& robotFile);
    // Flange pose times the tool matrix, from internal joint values.
    void ForwardKin(const float* internalJoints, DataTypes::Matrix44* pose);
    void ForwardKinJ1toJ3(const float* internalJoints, DataTypes::Matrix44* m);
    void ForwardKinJ4toJ6(const float* internalJoints, DataTypes::Matrix44* w);
    // Internal joints 0..5 for a tool centre point pose in the robot base frame; throws 21, 22, 23.
    void InverseKin(const DataTypes::Matrix44& target, float* internalJoints);
    void ComputeA1toA3(const DataTypes::Matrix44& flange, float* internalJoints);
    void ComputeA4toA6(const DataTypes::Matrix44& flange, const DataTypes::Matrix44& m, float* internalJoints);

    float lz0 = 122.15f;
    float lx1 = 0;
    float lz1 = 76.3f;
    float lx2 = 350;
    float lx3 = 400;
    float lz3 = 45;
    float lx4 = 0;
    float lx6 = 80;
    bool errorLogged = false;
    bool armFront = true;
    bool elbowUp = true;
    bool wristFlipped = false;
    bool wristAngular = false;
    bool wristDifferential = false;
    DataTypes::Vector3 wristPoint;
    float singularityCenter = 100;
    float singularityEllbow = 20;
    float singularityWrist = 5;
    float forearmAngle = 0;

private:
    // Pose (tool included) and the wrist centre's distance in front of the A1 axis.
    void ForwardKinInternal(const float* q, DataTypes::Matrix44* pose, DataTypes::Vector3* wrist,
                            double* wristFront) const;
    void InverseKinInternal(const DataTypes::Matrix44& target, float* q);
    void UpdateConfigurationFlags(const float* q, double wristFront);
};
