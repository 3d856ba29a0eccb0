#include "PkgProgram/PathElement.h"

namespace Programs {

PathElement::PathElement(int command, int successor) : commandIndex(command), successorIndex(successor) {}

PathElement::~PathElement() = default;

void PathElement::SetDebugFlag(bool flag) { debug = flag; }

void PathElement::SetMotionParameter(const float* jointVelocity, const float* jointAcceleration,
                                     const float* jointJerk, float cartVel, float cartAcc, float cartJerkValue,
                                     float oriVel, float oriAcc, float oriJerkValue) {
    for (int i = 0; i < 9; ++i) {
        jointVelocityLimits[i] = jointVelocity != nullptr ? jointVelocity[i] : 0.0f;
        jointAccelerationLimits[i] = jointAcceleration != nullptr ? jointAcceleration[i] : 0.0f;
        jointJerkLimits[i] = jointJerk != nullptr ? jointJerk[i] : 0.0f;
    }
    cartVelocity = cartVel;
    cartAcceleration = cartAcc;
    cartJerk = cartJerkValue;
    oriVelocity = oriVel;
    oriAcceleration = oriAcc;
    oriJerk = oriJerkValue;
}

}  // namespace Programs
