#pragma once
// Four-joint arm: A1 turns the arm about the vertical base axis; shoulder A2,
// elbow A3 and wrist pitch A4 are parallel axes about the turned arm's Y
// axis. Any requested orientation is turned into the nearest one whose
// approach direction lies in the vertical plane through the base axis.

#include <string>

#include "kinematics/KinMath.h"
#include "kinematics/PlanarArm.h"

class RobotKinematicDravo4 : public PlanarArm {
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

protected:
    KinMath::Frame ArmFrame(const float* q) const override;
    KinMath::Frame WristFrame(const float* q) const override;
    void SolveArm(const KinMath::Frame& flange, double* q) override;
};
