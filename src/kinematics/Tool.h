#pragma once
// Gripper or other tool on the flange: tool centre point offset, opening ramp
// (0 closed .. 100 open) and how it is driven (bus module or digital outputs).

#include <string>

#include "datatypes/Matrix44.h"
#include "datatypes/Vector3.h"

class Tool {
public:
    Tool() = default;

    // Reads rootPath + "Data/Tools/" + name and builds the tool matrices.
    // Names must stay under Data/Tools/: absolute names and ".." are refused.
    void Init(const std::string& name);
    void ReadConfigFile(const std::string& path);
    // True when the tool file exists (and the name stays under Data/Tools/).
    bool CheckConfigFileExists(const std::string& name) const;
    void SetTargetValue(float opening);
    void JogGripper(float factor);
    // One ramp step towards the target opening; called every robot cycle.
    void Update();
    void UpdateNoVel();
    void SetHWPosition(float hw);
    float GetJoint() const { return currentOpening; }
    float GetHWPosition() const { return hwPosition; }

    std::string motion;
    std::string protocol;
    DataTypes::Vector3 offset;
    DataTypes::Vector3 rotationOffset;
    DataTypes::Matrix44 toolMatrix;
    DataTypes::Matrix44 inverseToolMatrix;
    int busId = -1;
    float gearScale = 0;
    float gearZero = 0;
    float targetOpening = 0;
    float currentOpening = 0;
    float motionVel = 0;
    float motionMin = 0;
    float motionMax = 0;
    float hwPosition = 0;
    float hwScale = 1.0f;
    int channelEnable = -1;
    int channelOpenClose = -1;

    static constexpr float defaultMotionVel = 3.0f;

private:
    // Tool names that stay inside the tools directory.
    static bool IsSafeName(const std::string& name);
};
