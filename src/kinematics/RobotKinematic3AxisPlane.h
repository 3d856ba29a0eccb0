#pragma once
// Three rotary joints about axes parallel to the base Y axis: shoulder A1,
// elbow A2, wrist pitch A3. The flange moves in the base X-Z plane and tilts
// about Y only; a requested orientation is turned into the nearest one the
// arm can take.

#include <string>

#include "kinematics/KinMath.h"
#include "kinematics/PlanarArm.h"

class RobotKinematic3AxisPlane : public PlanarArm {
public:
    RobotKinematic3AxisPlane();
    ~RobotKinematic3AxisPlane() override;

    void clone(RobotKinematic* from) override;
    RobotKinematic* clone() override;
    void Init(const std::string& robotName, const std::string& robotType, const std::string& robotFile,
              int velocitySet) override;
    void SetJoints(const float* userJoints, bool check) override;
    void SetPosition(const DataTypes::Matrix44& target, float* joints) override;

    void ReadIniFile(const std::string& robotFile);

    float planeTolerance = 0.01f;

protected:
    KinMath::Frame ArmFrame(const float* q) const override;
    KinMath::Frame WristFrame(const float* q) const override;
    void SolveArm(const KinMath::Frame& flange, double* q) override;
};
