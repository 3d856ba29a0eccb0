#pragma once
// How a joint module is driven.

#include <cstdint>

namespace Hardware {

enum JointMode : uint32_t {
    JointModeVelocity = 2,
    JointModePosition = 4,
    JointModeTorque = 10,
    JointModeZeroTorque = 11,
};

}  // namespace Hardware
