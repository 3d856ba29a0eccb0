#pragma once
// Planar arm of three rotary joints about vertical axes at a fixed height:
// A1 (shoulder) and A2 (elbow) place the wrist, A3 turns the last arm, and the
// tool points horizontally along it. Targets must lie at the arm's height.

#include "kinematics/RobotKinematicScara.h"

class RobotKinematicSCARARRR : public RobotKinematicScara {
public:
    RobotKinematicSCARARRR();
    ~RobotKinematicSCARARRR() override;

    void clone(RobotKinematic* from) override;
    RobotKinematic* clone() override;
    void ForwardKin(float* joints, DataTypes::Matrix44* pose) override;
    // A1..A3 for the wanted flange frame (tool taken off); throws 22, also
    // for a flange more than 0.001 mm off the arm's height.
    void InverseKin(const DataTypes::Matrix44& flange, float* joints) override;

    float h1 = 0;
    float h2 = 0;
    float h3 = 0;

protected:
    const char* HeaderFormat() const override;
    void ReadKinematic(tinyxml2::XMLElement* kinematic) override;
    // The pose of the solved joints: the arm cannot take any other orientation.
    DataTypes::Matrix44 PoseAfterSolve(const DataTypes::Matrix44& target, float* joints,
                                       const DataTypes::Vector3& shift) override;
};
