#pragma once
// Four-joint arm: A1 turns the arm about the vertical base axis; shoulder A2,
// elbow A3 and wrist pitch A4 are parallel axes about the turned arm's Y
// axis. Any requested orientation is turned into the nearest one whose
// approach direction lies in the vertical plane through the base axis.

#include <string>

#include "kinematics/KinMath.h"
#include "kinematics/RobotKinematic.h"

class RobotKinematicDravo4 : public RobotKinematic {
public:
    RobotKinematicDravo4();
    ~RobotKinematicDravo4() override;

    void clone(RobotKinematic* from) override;
    RobotKinematic* clone() override;
    void Init(const std::string& robotName, const std::string& robotType, const std::string& robotFile,
              int velocitySet) override;
    void SetJoints(const float* userJoints, bool check) override;
    void SetPosition(const DataTypes::Matrix44& target, float* joints) override;

    void ReadIniFile(const std::string& robotFile);
    void ForwardKin(const float* internalJoints, DataTypes::Matrix44* pose);
    void ForwardKinJ1toJ3(const float* internalJoints, DataTypes::Matrix44* m);
    void ForwardKinJ4toJ6(const float* internalJoints, DataTypes::Matrix44* w);
    // Internal joints 0..3 for a tool centre point pose; throws 21, 22.
    void InverseKin(const DataTypes::Matrix44& target, float* internalJoints);
    void ComputeA1toA3(const DataTypes::Matrix44& flange, float* internalJoints);
    // Turns the flange's orientation into the vertical plane through the base axis and the flange.
    void LimitOrientation(DataTypes::Matrix44* flange);

    float lz0 = 158;
    float lz1 = 60;
    float lz2 = 190;
    float lz3 = 220;
    float lz4 = 46;
    float singularityCenter = 5;
    float singularityEllbow = 30;
    DataTypes::Vector3 wristPoint;
    bool elbowUp = true;
    bool armFront = true;
    bool errorLogged = false;

private:
    KinMath::Frame ArmFrame(const float* q) const;
    KinMath::Frame FlangeFrame(const float* q) const;
    void SolveArm(const KinMath::Frame& flange, double* q);
    void InverseKinFrame(const KinMath::Frame& target, double* q);
};
