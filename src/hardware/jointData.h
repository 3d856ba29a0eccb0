#pragma once
// One module on the joint bus as a driver sees it: set-points going out,
// positions, currents, inputs, temperatures and error state coming back.
// The robot thread, the CAN read thread and command sequences on other
// threads share these records without a lock, so the numbers are atomic.

#include "common/RelaxedAtomic.h"
#include "hardware/JointMode.h"

#include <cstdint>
#include <string>

namespace Hardware {

class jointData {
public:
    jointData() = default;

    RelaxedAtomic<uint32_t> kind{0};  // 0 joint module (drive), 1 digital I/O module
    RelaxedAtomic<JointMode> jointMode{JointModePosition};
    RelaxedAtomic<float> setPosition{0.0f};     // joint units, before motor adaptation
    RelaxedAtomic<float> setVelocity{0.0f};
    RelaxedAtomic<float> actualPosition{0.0f};  // joint units
    RelaxedAtomic<float> actualVelocity{0.0f};
    RelaxedAtomic<float> current{0.0f};  // currentScale * raw + currentZero
    RelaxedAtomic<float> currentScale{1.0f};
    RelaxedAtomic<float> currentZero{0.0f};
    RelaxedAtomic<float> supply{0.0f};     // V
    RelaxedAtomic<float> gearScale{0.0f};  // raw = joint * gearScale + gearZero
    RelaxedAtomic<float> gearZero{0.0f};
    RelaxedAtomic<uint8_t> canId{0};
    RelaxedAtomic<uint32_t> errorCode{0};  // 0x100 not connected, 0x200 no answer
    std::string errorText = "na";
    RelaxedAtomic<uint32_t> motorReady{0};
    RelaxedAtomic<uint64_t> digitalInputs{0};
    RelaxedAtomic<uint64_t> digitalOutputs{0};
    RelaxedAtomic<uint8_t> referencedV1{0};
    RelaxedAtomic<float> temperature{0.0f};  // -1 when the temperature frame is missing
    RelaxedAtomic<float> temperature2{0.0f};
    RelaxedAtomic<uint8_t> referenced{0};
    RelaxedAtomic<uint8_t> aligned{0};
    RelaxedAtomic<uint8_t> referencing{0};
    RelaxedAtomic<uint8_t> shortCurrent{0};
    RelaxedAtomic<float> gearPlay{0.0f};
    RelaxedAtomic<float> gearPlayInc{0.0f};
    RelaxedAtomic<float> gearPlayOffset{0.0f};
    RelaxedAtomic<float> gearPlayExtreme{0.0f};
    RelaxedAtomic<uint8_t> gearPlayDirection{1};  // 1 moving up, 0 moving down
    RelaxedAtomic<float> tempScale{0.0f};
    RelaxedAtomic<float> tempZero{0.0f};  // temperature = raw * tempScale + tempZero
    RelaxedAtomic<float> maxVelocity{0.0f};
    RelaxedAtomic<uint32_t> lastSupplyWarning{0};  // seconds

    // CANopen drives.
    char deviceName[33] = {};
    char firmwareVersion[33] = {};
    RelaxedAtomic<uint32_t> driveSubmode{0};
    RelaxedAtomic<uint32_t> profile{0};
    RelaxedAtomic<uint32_t> actualProfile{0};
    RelaxedAtomic<uint16_t> statusword{0};
    RelaxedAtomic<uint16_t> controlword{0};
    RelaxedAtomic<uint32_t> referencingState{1};
    RelaxedAtomic<uint16_t> homingStatus{0};
    RelaxedAtomic<uint8_t> nmtState{255};  // unknown
    RelaxedAtomic<uint8_t> errorRegister{0};
    RelaxedAtomic<uint8_t> errorCount{0};
    RelaxedAtomic<uint8_t> homingMethod{0};
    RelaxedAtomic<int32_t> homeOffset{0};
    RelaxedAtomic<uint32_t> homingCaptureMode{0};
    RelaxedAtomic<int32_t> minPositionLimit{0};
    RelaxedAtomic<int32_t> maxPositionLimit{0};
    RelaxedAtomic<int16_t> limitSwitchOption{static_cast<int16_t>(65535)};  // not read
    RelaxedAtomic<float> currentA{0.0f};
    RelaxedAtomic<float> currentB{0.0f};
    RelaxedAtomic<int32_t> inputGroups{0};
    RelaxedAtomic<int32_t> outputGroups{0};
    RelaxedAtomic<uint8_t> pdosConfigured{0};
    RelaxedAtomic<uint8_t> positionKnown{0};  // reported since the connect
    RelaxedAtomic<uint8_t> needsSetUp{0};     // booted (or found pre-operational): parameters, PDOs, NMT start again
    // A set-up the drive refused, as its error text; guarded like errorText.
    std::string driveError;
};

}  // namespace Hardware
