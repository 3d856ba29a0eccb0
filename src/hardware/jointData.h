#pragma once
// One module on the joint bus as a driver sees it: set-points going out,
// positions, currents, inputs, temperatures and error state coming back.

#include "hardware/JointMode.h"

#include <cstdint>
#include <string>

namespace Hardware {

class jointData {
public:
    jointData() = default;

    uint32_t kind = 0;  // 0 joint module (drive), 1 digital I/O module
    JointMode jointMode = JointModePosition;
    float setPosition = 0.0f;     // joint units, before motor adaptation
    float setVelocity = 0.0f;
    float actualPosition = 0.0f;  // joint units
    float actualVelocity = 0.0f;
    float current = 0.0f;  // currentScale * raw + currentZero
    float currentScale = 1.0f;
    float currentZero = 0.0f;
    float supply = 0.0f;     // V
    float gearScale = 0.0f;  // raw = joint * gearScale + gearZero
    float gearZero = 0.0f;
    uint8_t canId = 0;
    uint32_t errorCode = 0;  // 0x100 not connected, 0x200 no answer
    std::string errorText = "na";
    uint32_t motorReady = 0;
    uint64_t digitalInputs = 0;
    uint64_t digitalOutputs = 0;
    uint8_t referencedV1 = 0;
    float temperature = 0.0f;  // -1 when the temperature frame is missing
    float temperature2 = 0.0f;
    uint8_t referenced = 0;
    uint8_t aligned = 0;
    uint8_t referencing = 0;
    uint8_t shortCurrent = 0;
    float gearPlay = 0.0f;
    float gearPlayInc = 0.0f;
    float gearPlayOffset = 0.0f;
    float gearPlayExtreme = 0.0f;
    uint8_t gearPlayDirection = 1;  // 1 moving up, 0 moving down
    float tempScale = 0.0f;
    float tempZero = 0.0f;  // temperature = raw * tempScale + tempZero
    float maxVelocity = 0.0f;
    uint32_t lastSupplyWarning = 0;  // seconds

    // CANopen drives.
    char deviceName[33] = {};
    char firmwareVersion[33] = {};
    uint32_t driveSubmode = 0;
    uint32_t profile = 0;
    uint32_t actualProfile = 0;
    uint16_t statusword = 0;
    uint16_t controlword = 0;
    uint32_t referencingState = 1;
    uint16_t homingStatus = 0;
    uint8_t nmtState = 255;  // unknown
    uint8_t errorRegister = 0;
    uint8_t errorCount = 0;
    uint8_t homingMethod = 0;
    int32_t homeOffset = 0;
    uint32_t homingCaptureMode = 0;
    int32_t minPositionLimit = 0;
    int32_t maxPositionLimit = 0;
    int16_t limitSwitchOption = static_cast<int16_t>(65535);  // not read
    float currentA = 0.0f;
    float currentB = 0.0f;
    int32_t inputGroups = 0;
    int32_t outputGroups = 0;
    uint8_t pdosConfigured = 0;
};

}  // namespace Hardware
