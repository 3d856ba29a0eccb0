#pragma once
// SCARA with a vertical linear A1 (mm) and rotary A2, A3 and, with
// "FourthAxis", A4 about vertical axes; the tool points straight down.

#include "kinematics/RobotKinematicScara.h"

class RobotKinematicSCARALRRR : public RobotKinematicScara {
public:
    RobotKinematicSCARALRRR();
    ~RobotKinematicSCARALRRR() override;

    void clone(RobotKinematic* from) override;
    RobotKinematic* clone() override;
    void ForwardKin(float* joints, DataTypes::Matrix44* pose) override;
    // A1..A4 for the wanted flange frame (tool taken off); A4 = 0 without the fourth axis.
    void InverseKin(const DataTypes::Matrix44& flange, float* joints) override;

    float distz1 = 0;
    float distz2 = 0;
    float distz3 = 0;
    bool fourthAxis = false;

protected:
    const char* HeaderFormat() const override;
    void ReadKinematic(tinyxml2::XMLElement* kinematic) override;
};
