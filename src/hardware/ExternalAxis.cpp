#include "hardware/ExternalAxis.h"

#include <algorithm>
#include <cctype>
#include <sstream>

namespace {

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

}  // namespace

ExternalAxis::ExternalAxis() = default;

ExternalAxis::ExternalAxis(int index_, const std::string& name_, JointMode mode)
    : index(index_), name(name_), motionMode(mode) {}

ExternalAxis::ExternalAxisKinematic ExternalAxis::KinematicFromString(const std::string& text) {
    return Lower(text) == "independent" ? Independent : Dependent;
}

std::string ExternalAxis::KinematicToString(int kinematic) { return kinematic != 0 ? "Independent" : "Dependent"; }

ExternalAxis::JointMode ExternalAxis::MotionModeFromString(const std::string& text) {
    const std::string lower = Lower(text);
    if (lower == "velocity") return Hardware::JointModeVelocity;
    if (lower == "torque") return Hardware::JointModeTorque;
    return Hardware::JointModePosition;
}

std::string ExternalAxis::MotionModeToString(int mode) {
    switch (mode) {
        case Hardware::JointModeVelocity: return "Velocity";
        case Hardware::JointModeTorque: return "Torque";
        default: return "Position";
    }
}

std::string ExternalAxis::ToString() const {
    std::ostringstream os;
    os << "ID=" << index << ", CAN-ID=" << canId;
    if (motionMode == Hardware::JointModeVelocity) {
        os << ", Mode=Velocity";
    } else if (motionMode == Hardware::JointModePosition) {
        os << ", Mode=Position, Type=" << KinematicToString(kinematic) << ", Min=" << min << ", Max=" << max;
    }
    return os.str();
}
