#pragma once
// SCARA with a vertical linear A1 (mm) and rotary A2, A3 and, with
// "FourthAxis", A4 about vertical axes, all arms in one plane; the tool
// points horizontally along the last arm.

#include "kinematics/RobotKinematicScara.h"

class RobotKinematicSCARARRLR : public RobotKinematicScara {
public:
    RobotKinematicSCARARRLR();
    ~RobotKinematicSCARARRLR() override;

    void clone(RobotKinematic* from) override;
    RobotKinematic* clone() override;
    void ForwardKin(float* joints, DataTypes::Matrix44* pose) override;
    // A1..A4 for the wanted tool frame; takes the tool off itself.
    void InverseKin(const DataTypes::Matrix44& target, float* joints) override;

    bool fourthAxis = false;

protected:
    const char* HeaderFormat() const override;
    void ReadKinematic(tinyxml2::XMLElement* kinematic) override;
    void SolveTarget(const DataTypes::Matrix44& target, float* joints) override;
};
