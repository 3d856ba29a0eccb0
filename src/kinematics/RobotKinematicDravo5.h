#pragma once
// Five-joint arm: A1 about the vertical base axis; shoulder A2, elbow A3 and
// wrist pitch A4 about the turned arm's Y axis; A5 turns the flange about its
// own Z axis. The flange's approach direction must lie in the arm's vertical
// plane, which lies ly0 beside the base axis. A requested pose is made
// reachable either by tilting its approach into that plane ("standard") or
// by turning the whole pose about the vertical through the tool centre
// point ("type2", for tools whose centre point is off the flange axis).

#include <string>

#include "kinematics/KinMath.h"
#include "kinematics/PlanarArm.h"

class RobotKinematicDravo5 : public PlanarArm {
public:
    RobotKinematicDravo5();
    ~RobotKinematicDravo5() override;

    void clone(RobotKinematic* from) override;
    RobotKinematic* clone() override;
    void Init(const std::string& robotName, const std::string& robotType, const std::string& robotFile,
              int velocitySet) override;
    void SetJoints(const float* userJoints, bool check) override;
    void SetPosition(const DataTypes::Matrix44& target, float* joints) override;

    void ReadIniFile(const std::string& robotFile);
    // Internal joints 0..4 for a tool centre point pose; throws int codes
    // 21 and 22 and, in type2 handling, std::runtime_error.
    void InverseKin(const DataTypes::Matrix44& target, float* internalJoints) override;
    // The flange pose (tool removed) that the inverse kinematics solves for.
    DataTypes::Matrix44 LimitOrientationStandard(const DataTypes::Matrix44& target);
    DataTypes::Matrix44 LimitOrientationType2(const DataTypes::Matrix44& target);
    // The pose turned by `angle` (radians) about the vertical through its own position.
    DataTypes::Matrix44 RotateFlangeZ(double angle, const DataTypes::Matrix44& pose);
    // How far (radians) the flange of the turned pose lies out of an arm plane.
    double GetErrorForAngle(double angle, const DataTypes::Matrix44& pose);

    // The links lz0 to lz4 and the flags are PlanarArm's; lz4 + lz5 lead
    // from the wrist centre to the flange.
    int wristRedundancyHandling = 0;
    int toolCompState = 0;
    float lz5 = 80;
    float ly0 = 0;

protected:
    KinMath::Frame ArmFrame(const float* q) const override;
    KinMath::Frame WristFrame(const float* q) const override;
    void SolveArm(const KinMath::Frame& flange, double* q) override;
    // The chosen orientation limit, the arm, the wrist pitch and the flange's turn.
    void SolveTarget(const KinMath::Frame& tcp, double* q) override;

private:
    KinMath::Frame StandardFlange(const KinMath::Frame& target);
    KinMath::Frame Type2Flange(const KinMath::Frame& target);
    KinMath::Frame Turned(double angle, const KinMath::Frame& pose) const;
    double ErrorForAngle(double angle, const KinMath::Frame& pose) const;
};
