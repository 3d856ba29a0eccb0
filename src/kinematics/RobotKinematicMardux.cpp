#include "kinematics/RobotKinematicMardux.h"

#include "common/LogSingleton.h"

namespace {

constexpr float kTravelPerTurn = 314.72818f;  // mm per wheel revolution
constexpr float kTurnDiameter = 430.0f;       // circle the wheels follow turning on the spot, mm
constexpr double kPiPlatform = 3.141;         // the platform's calibration uses this value
constexpr double kTurnFactor = -514.8;
constexpr float kPlatformHeight = 160.0f;

}  // namespace

RobotKinematicMardux::RobotKinematicMardux() {
    for (int i = 0; i < 4; ++i) joints[i] = 0;
}

RobotKinematicMardux::~RobotKinematicMardux() = default;

void RobotKinematicMardux::clone(RobotKinematic* from) { RobotKinematic::clone(from); }

RobotKinematic* RobotKinematicMardux::clone() {
    auto* copy = new RobotKinematicMardux();
    copy->clone(this);
    return copy;
}

void RobotKinematicMardux::Init(const std::string& name, const std::string& type, const std::string& robotFile,
                                int velSet) {
    RobotKinematic::Init(name, type, robotFile, velSet);
    nrOfJoints = 4;
    for (int i = 0; i < 4; ++i) {
        maxJointVelocities[i] = 100;
        jointLimits[i][0] = 0;
        jointLimits[i][1] = 0;
    }
    LogSingleton::instance()->add("RKMardux: Init");
}

void RobotKinematicMardux::SetJoints(const float* userJoints, bool) {
    for (int i = 0; i < maxJoints; ++i) {
        if (i < nrOfJoints || i >= 6) joints[i] = userJoints[i];
    }
}

void RobotKinematicMardux::SetPosition(float* p) {
    const float dx = p[0] - pose(0, 3);
    const float dy = p[1] - pose(1, 3);
    const float dphi = p[3] - poseExtra[0];
    pose(0, 3) = p[0];
    pose(1, 3) = p[1];
    pose(2, 3) = kPlatformHeight;
    poseExtra[0] = p[3];

    float delta[4] = {0, 0, 0, 0};
    const float a = static_cast<float>(static_cast<double>(dx / kTravelPerTurn) * -360.0);
    for (float& d : delta) d += a;
    const float b = static_cast<float>(static_cast<double>(dy / kTravelPerTurn) * 360.0);
    delta[0] -= b;
    delta[1] += b;
    delta[2] -= b;
    delta[3] += b;
    const float c = static_cast<float>(static_cast<double>(dphi) * (static_cast<double>(kTurnDiameter) * kPiPlatform) /
                                       360.0 / static_cast<double>(kTravelPerTurn) * kTurnFactor);
    delta[0] += c;
    delta[1] -= c;
    delta[2] -= c;
    delta[3] += c;
    for (int i = 0; i < nrOfJoints && i < 4; ++i) joints[i] += delta[i];
}
