#pragma once
// Five-joint serial arm whose joints turn alternately about Z and Y, every
// link along the previous joint's Z axis. Joint set-points only: a
// Cartesian set-point leaves the arm where it is.

#include <string>

#include "kinematics/RobotKinematic.h"

class RobotKinematicTuskoKid : public RobotKinematic {
public:
    RobotKinematicTuskoKid();
    ~RobotKinematicTuskoKid() override;

    void clone(RobotKinematic* from) override;
    RobotKinematic* clone() override;
    void Init(const std::string& robotName, const std::string& robotType, const std::string& robotFile,
              int velocitySet) override;
    void SetJoints(const float* userJoints, bool check) override;
    // Does nothing: this arm has no inverse kinematics.
    void SetPosition(const DataTypes::Matrix44& target, float* joints) override;

    void ReadIniFile(const std::string& robotFile);
    void ForwardKin(const float* internalJoints, DataTypes::Matrix44* pose);

    float lz0 = 122.15f;
    float lz1 = 76.3f;
    float lz2 = 350;
    float lz3 = 45;
    float lz4 = 0;
    float lz5 = 80;
    bool errorLogged = false;
};
