#pragma once
// Chooses the geometry class from the robot file's "Kinematic" "Type".

#include <memory>
#include <string>

#include "kinematics/RobotKinematic.h"

class KinematicFactory {
public:
    // A new, uninitialised geometry for the type name (compared exactly), or
    // null for a name without a geometry: then the error is logged, the
    // serious-fail reason "10 robot type unknown" set and operation mode 1.
    static std::unique_ptr<RobotKinematic> Create(const std::string& robotType);
};
