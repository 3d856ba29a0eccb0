#pragma once
// Mobile platform on four wheels: A1 to A4 are the wheel angles in degrees.
// Joint set-points pass straight to the wheels; the planar SetPosition turns
// a new platform position and heading into wheel-angle increments.

#include <string>

#include "kinematics/RobotKinematic.h"

class RobotKinematicMardux : public RobotKinematic {
public:
    RobotKinematicMardux();
    ~RobotKinematicMardux() override;

    void clone(RobotKinematic* from) override;
    RobotKinematic* clone() override;
    void Init(const std::string& robotName, const std::string& robotType, const std::string& robotFile,
              int velocitySet) override;
    // Stores the values as they are, without direction, offset or checks.
    void SetJoints(const float* userJoints, bool check) override;
    using RobotKinematic::SetPosition;
    // platformTarget: X and Y in mm, [2] unused, heading in degrees at [3].
    void SetPosition(float* platformTarget);
};
