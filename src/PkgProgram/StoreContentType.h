#pragma once

namespace Programs {

// Which side of a stored position is given; the memory completes the other.
enum StoreContentType {
    StoreAsGiven = 0,    // a number, or a position taken as it is
    StoreJoints = 1,     // joints given: pose by forward kinematics
    StoreCartesian = 2,  // pose given: joints by inverse kinematics
    StoreBoth = 3        // both given: nothing completed
};

}  // namespace Programs
