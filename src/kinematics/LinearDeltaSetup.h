#pragma once
// What the two linear deltas set up alike: their built-in limits, the pose
// before the first set-point, and the joint lines of the start-up log.

#include "kinematics/RobotKinematic.h"

namespace LinearDeltaSetup {

// Joint, velocity and acceleration limits of a geometry not yet read from its robot file.
void SetDefaults(RobotKinematic& kin);
// Logs the header (robot name and type) and sets the pose before the first set-point.
void Start(RobotKinematic& kin, const char* headerFormat);
// One line per robot joint and external axis, limits in user units as read.
void LogJoints(const RobotKinematic& kin);

}  // namespace LinearDeltaSetup
