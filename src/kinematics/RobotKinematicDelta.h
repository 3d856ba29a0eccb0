#pragma once
// Rotary delta with a fixed, built-in geometry: three arms turned by A1..A3
// (degrees) carry a platform on rod pairs; the platform moves in X, Y and Z
// without turning. The inverse kinematics is closed-form per arm; the forward
// kinematics is a pattern search seeded with the last platform point, so it
// follows the joints from cycle to cycle. Throws 5 (an arm cannot reach, or
// the search finds no pose) and 12 (a rod pair leans too far sideways)
// besides the base codes. The robot file is not read.

#include <string>

#include "kinematics/RobotKinematic.h"

class RobotKinematicDelta : public RobotKinematic {
public:
    RobotKinematicDelta();
    ~RobotKinematicDelta() override;

    void clone(RobotKinematic* from) override;
    RobotKinematic* clone() override;
    void Init(const std::string& robotName, const std::string& robotType, const std::string& robotFile,
              int velocitySet) override;
    void SetJoints(const float* userJoints, bool check) override;
    void SetPosition(const DataTypes::Matrix44& target, float* joints) override;

    // Platform point for internal joints, searched from the translation of
    // `pose`, written into that translation; throws 5 when the search fails.
    void ForwardKin(float* joints, DataTypes::Matrix44& pose);
    // Root of the summed squared rod length errors of the three arms.
    float Fitness(float* joints, const DataTypes::Vector3& position);
    // Rod length minus the elbow to platform joint distance, arm frame.
    float ComputeError(float jointDeg, const DataTypes::Vector3& localPosition);
    // A1..A3 for the platform point in the translation of `target`; throws 5.
    void InverseKin(const DataTypes::Matrix44& target, float* joints);
    float ComputeOneJoint(int arm, const DataTypes::Vector3& localPosition);
    // Throws 12 when a rod pair leans more than maxLinkageAngle out of its arm's plane.
    void checkLinkages(float* joints, const DataTypes::Vector3& position);

    float shoulderHeight = 20;
    float baseRadius = 50;
    float upperArmLength = 140;
    float rodLength = 180;
    float effectorRadius = 30;
    float effectorJointHeight = 10;
    float maxLinkageAngle = 30;
    float reachMargin = 20;

private:
    // Platform point of `pose` (which carries the tool and the external axes' shift).
    DataTypes::Vector3 PlatformPoint(const float* internalJoints);
    // `pose` for a platform point: the platform's fixed orientation, then the tool.
    DataTypes::Matrix44 PoseOfPlatform(const DataTypes::Vector3& platform) const;
};
