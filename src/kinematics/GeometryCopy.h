#pragma once
// Copying a geometry for path planning and the program memory.

#include "kinematics/RobotKinematic.h"

// Copies every field of `from` into `self` when `from` is a T: the shared
// ones (all but the velocity set and the limit-log state, which stay the
// copy's own) and the geometry's. False, changing nothing, for another geometry.
template <typename T>
bool CopyGeometry(T& self, RobotKinematic* from) {
    auto* other = dynamic_cast<T*>(from);
    if (other == nullptr) return false;
    if (other == &self) return true;
    const int velocitySet = self.velocitySet;
    const bool logLimitViolation = self.logLimitViolation;
    self = *other;
    self.velocitySet = velocitySet;
    self.logLimitViolation = logLimitViolation;
    return true;
}

// A new T copied from `self`; the caller owns it.
template <typename T>
RobotKinematic* NewCopy(T& self) {
    auto* copy = new T();
    copy->clone(&self);
    return copy;
}
