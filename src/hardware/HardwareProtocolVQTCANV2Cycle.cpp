// The per-cycle exchange of the v2/v3 driver (robot thread), the error
// evaluation and the read-outs other threads use.

#include "hardware/HardwareProtocolVQTCANV2.h"

#include "common/LogSingleton.h"
#include "controller/Shutdown.h"
#include "datatypes/RobotState.h"
#include "kinematics/RobotKinematic.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <ctime>

namespace Hardware {

namespace {

using Codec = VQTCANV2Codec;

}  // namespace

// ---------------------------------------------------------------- cycle

void HardwareProtocolVQTCANV2::SetJoints(const DataTypes::RobotState& state) {
    if (!canInterface.IsConnected() || !cyclicSending.load()) return;

    const int joints = JointModuleCount();
    const int firstExternal = FirstExternalRecord();
    const int firstPlatform = FirstPlatformRecord();

    // 1. Targets in record order.
    float target[MaxModules] = {};
    for (int i = 0; i < robotJointCount && i < 6; ++i) target[i] = state.jointSetPoint[i];
    for (int k = 0; k < toolJointCount && k < 3 && robotJointCount + k < MaxModules; ++k)
        target[robotJointCount + k] = state.toolHWValue[k];
    for (int k = 0; k < externalJointCount && k < 3 && firstExternal + k < MaxModules; ++k)
        target[firstExternal + k] = state.jointSetPoint[6 + k];
    for (int k = 0; k < platformJointCount && k < 4 && firstPlatform + k < MaxModules; ++k)
        target[firstPlatform + k] = state.platformSetPoint[k];

    // 2. One counter value for every frame of this cycle.
    counter = Codec::NextCounter(counter);

    // 3. Backlash compensation of the position-mode robot and external joints.
    for (int i = 0; i < joints; ++i) {
        if (!IsRobotOrExternalJoint(i)) continue;
        Hardware::jointData& r = jointData[i];
        if (r.jointMode != JointModePosition) continue;
        const float t = target[i];
        if (!std::isfinite(t)) continue;  // handled below: the joint keeps its set-point
        if (r.gearPlay > 0.05f) {
            if (r.gearPlayDirection == 0) {
                if (t >= r.gearPlayExtreme + 0.01f) r.gearPlayDirection = 1;
            } else {
                if (t < r.gearPlayExtreme - 0.01f) r.gearPlayDirection = 0;
            }
            if (r.gearPlayDirection == 0) {
                if (t < r.gearPlayExtreme) r.gearPlayExtreme = t;
                r.gearPlayOffset -= r.gearPlayInc;
                if (r.gearPlayOffset < -r.gearPlay) r.gearPlayOffset = -r.gearPlay;
            } else {
                if (t > r.gearPlayExtreme) r.gearPlayExtreme = t;
                r.gearPlayOffset += r.gearPlayInc;
                if (r.gearPlayOffset > r.gearPlay) r.gearPlayOffset = r.gearPlay;
            }
        }
        r.setPosition = t;
        target[i] = noError.load() ? t + r.gearPlayOffset : t;
    }

    // 4. Joint values to motor values.
    if (kinematic != nullptr) kinematic->AdaptJointsToMotors(target);

    // 5. Set-points of the joint modules.
    const bool hold = m_HoldAtReported.load();
    for (int i = 0; i < joints; ++i) {
        Hardware::jointData& r = jointData[i];
        if (hold && (r.jointMode == JointModePosition || r.jointMode == JointModeVelocity)) {
            SendHold(i);
            if (gapMs > 0.0f) waitActive(gapMs);
            continue;
        }
        switch (r.jointMode) {
        case JointModePosition:
            // A set-point that is not a number would be sent as some raw
            // position; the joint holds its last one instead.
            if (std::isfinite(target[i])) r.setPosition = target[i];
            SendFrame(Codec::EncodePositionSetPoint(r.canId, Codec::VelocityByte(r.setVelocity),
                                                    Codec::PositionRaw(r.setPosition, r.gearScale, r.gearZero),
                                                    counter, static_cast<uint8_t>(digitalOutputBytes[i])));
            break;
        case JointModeTorque:
        case JointModeZeroTorque:
            SendFrame(Codec::EncodeKeepAlive(r.canId, counter));
            break;
        case JointModeVelocity: {
            const int index = 6 + i - robotJointCount - toolJointCount;
            float v = (index >= 6 && index < 9) ? state.jointVelocitySetPoint[index] : 0.0f;
            if (v > r.maxVelocity) v = r.maxVelocity;
            if (v < -r.maxVelocity) v = -r.maxVelocity;
            r.setVelocity = v * state.override / 100.0f;
            SendFrame(Codec::EncodeVelocitySetPoint(r.canId, Codec::VelocityRaw(r.setVelocity, r.gearScale), counter));
            break;
        }
        default:
            break;
        }
        if (gapMs > 0.0f) waitActive(gapMs);
    }

    // 6. Output frames of the DIO modules.
    for (int k = 0; k < dioModuleCount && k < 5; ++k) {
        const int record = moduleCount - dioModuleCount + k;
        if (record < 0 || record >= MaxModules) continue;
        const int outputs = railOutputBytes[k] | digitalOutputBytes[record];
        SendFrame(Codec::EncodeDIOOutputs(jointData[record].canId, counter, static_cast<uint8_t>(outputs)));
        if (gapMs > 0.0f) waitActive(gapMs);
    }

    // 7. and 8. Read-back.
    ReadBack();

    // 9. Referencing and alignment state.
    ++cycleCount;
    if (cycleCount % 10 == 0) UpdateReferencingState();

    // 10. Temperatures about every 100 cycles.
    if (cycleCount > 100) {
        cycleCount = 0;
        ReadTemperatures();
    }

    // 11. Main I/O module.
    ReadSupplyAndShutdown();
}

void HardwareProtocolVQTCANV2::SendHold(int record) {
    const Hardware::jointData& r = jointData[record];
    if (r.jointMode == JointModePosition && m_PositionKnown[record].load()) {
        // Its own position, as it reported it: not a count away.
        SendFrame(Codec::EncodePositionSetPoint(r.canId, Codec::VelocityByte(0.0f), m_ReportedRaw[record], counter,
                                                static_cast<uint8_t>(digitalOutputBytes[record])));
    } else {
        // Not heard yet (or a velocity joint): stand still, and report where.
        SendFrame(Codec::EncodeVelocitySetPoint(r.canId, 0, counter));
    }
}

void HardwareProtocolVQTCANV2::ReadBack() {
    const int records = moduleCount < MaxModules ? moduleCount : MaxModules;
    const bool connected = canInterface.IsConnected();
    int fresh = 0;
    bool freshRecord[MaxModules] = {};
    unsigned char data[8];
    {
        std::lock_guard<std::mutex> lock(m_TextMutex);
        for (int i = 0; i < records; ++i) {
            Hardware::jointData& r = jointData[i];
            int dlc = 0;
            const int age = canInterface.GetLastMessage(r.canId + Codec::kStatusOffset, &dlc, data, nullptr);
            // Only a frame that came and is recent is decoded: a record that
            // never received anything holds filler bytes, not a status.
            if (dlc > 0 && age < StatusMaxAge) {
                ++fresh;
                freshRecord[i] = true;
                const Codec::Status s = Codec::DecodeStatus(data);
                r.errorCode = s.errorBits;
                if (m_TextCode[i] != static_cast<int>(r.errorCode)) {
                    std::string text;
                    Codec::DecodeErrorCode(r.errorCode, text, r.errorText);
                    m_TextCode[i] = static_cast<int>(r.errorCode);
                }
                r.motorReady = r.errorCode == 0 ? 1 : 0;
                if (s.shortCurrentBit) r.shortCurrent = 1;
                const int currentRaw = Codec::CurrentRaw(data, r.shortCurrent != 0);
                m_ReportedRaw[i] = s.positionRaw;
                m_MotorPosition[i] = Codec::PositionFromRaw(s.positionRaw, r.gearScale, r.gearZero);
                r.current = r.currentScale * static_cast<float>(currentRaw) + r.currentZero;
                r.actualVelocity = 0.0f;
                r.digitalInputs = s.inputs;
                r.referenced = s.referenced ? 1 : 0;
                r.aligned = s.aligned ? 1 : 0;
                if (r.referenced) r.referencing = 0;
            } else {
                r.errorCode = connected ? Codec::kErrModuleDead : Codec::kErrBusDead;
                r.motorReady = 0;
            }
        }
    }

    float actual[MaxModules] = {};
    for (int i = 0; i < records; ++i) actual[i] = m_MotorPosition[i];
    if (kinematic != nullptr) kinematic->AdaptMotorsToJoints(actual);
    for (int i = 0; i < records; ++i) jointData[i].actualPosition = actual[i];
    // Known only after the position is stored, so a reader of the flag reads the position.
    for (int i = 0; i < records; ++i)
        if (freshRecord[i]) m_PositionKnown[i] = true;

    noAnswerCycles = fresh > 0 ? 0 : noAnswerCycles.load() + 1;
}

void HardwareProtocolVQTCANV2::UpdateReferencingState() {
    LogSingleton* log = LogSingleton::instance();
    bool allReferenced = true;
    bool allAligned = true;
    const int joints = JointModuleCount();
    for (int i = 0; i < joints; ++i) {
        if (!IsRobotOrExternalJoint(i)) continue;
        if (!jointData[i].referenced) allReferenced = false;
        if (!jointData[i].aligned) allAligned = false;
    }
    if (allReferenced != referencedAll) {
        log->add(allReferenced ? "VQTCANV2 protocol: robot is referenced now"
                               : "VQTCANV2 protocol: robot is NOT referenced");
        referencedAll = allReferenced;
    }
    if (allAligned != alignedAll) {
        if (allAligned) log->add("VQTCANV2 protocol: robot is aligned now");
        alignedAll = allAligned;
    }
}

void HardwareProtocolVQTCANV2::ReadTemperatures() {
    const int joints = JointModuleCount();
    for (int i = 0; i < joints; ++i) {
        Hardware::jointData& r = jointData[i];
        // Zeroed: a disconnect from another thread mid-cycle makes
        // GetLastMessage copy nothing, which then reads as no temperature frame.
        unsigned char data[8] = {};
        int dlc = 0;
        canInterface.GetLastMessage(r.canId + Codec::kTemperatureOffset, &dlc, data, nullptr);
        float board = 0.0f;
        float motor = 0.0f;
        if (Codec::DecodeTemperature(data, r.tempScale, r.tempZero, board, motor)) {
            r.temperature = board;
            r.temperature2 = motor;
        } else {
            r.temperature = -1.0f;
        }
    }
}

void HardwareProtocolVQTCANV2::ReadSupplyAndShutdown() {
    LogSingleton* log = LogSingleton::instance();
    unsigned char data[8];
    int dlc = 0;
    int age = canInterface.GetLastMessage(Codec::kSupplyId, &dlc, data, nullptr);
    if (dlc > 0 && age < StatusMaxAge) {
        const Codec::Supply s = Codec::DecodeSupply(data);
        mainIoState[1] = s.supplyVoltage;
        mainIoState[4] = s.stateBits;
    }

    if (shutdownCountdown > 0) --shutdownCountdown;
    dlc = 0;
    age = canInterface.GetLastMessage(Codec::kShutdownId, &dlc, data, nullptr);
    uint8_t stage = 0;
    if (dlc == 0 || age > ShutdownMaxAge || !Codec::DecodeShutdownRequest(data, stage)) return;
    if (stage == Codec::kShutdownStage1) {
        shutdownStage = 13;
        shutdownCountdown = 100;
        log->add("ProtocolVQTCANV2: Shutdown request stage 1 ", age);
    } else if (stage == Codec::kShutdownStage2 && shutdownCountdown > 0 && shutdownStage == 13) {
        shutdownStage = 0;
        log->add("ProtocolVQTCANV2: Shutdown request stage 2 final", age);
        Shutdown::ShutdownSystem(true);
    } else {
        log->add("ProtocolVQTCANV2: Shutdown request - error in sequence");
    }
}

void HardwareProtocolVQTCANV2::GetJoints(DataTypes::RobotState* state) {
    if (state == nullptr) return;
    for (int i = 0; i < robotJointCount && i < 6; ++i) {
        state->jointActual[i] = jointData[i].actualPosition;
        state->jointTemperatures[i] = jointData[i].temperature;
        state->jointTemperatures2[i] = jointData[i].temperature2;
    }
    const int firstExternal = FirstExternalRecord();
    for (int k = 0; k < externalJointCount && k < 3 && firstExternal + k < MaxModules; ++k) {
        const Hardware::jointData& r = jointData[firstExternal + k];
        state->jointTemperatures[firstExternal + k] = r.temperature;
        state->jointTemperatures2[firstExternal + k] = r.temperature2;
        state->jointActual[6 + k] = r.jointMode == JointModeVelocity ? 0.0f : r.actualPosition.load();
    }
    for (int k = 0; k < toolJointCount && k < 3 && robotJointCount + k < MaxModules; ++k)
        state->toolHWValue[k] = jointData[robotJointCount + k].actualPosition;
    const int firstPlatform = FirstPlatformRecord();
    for (int k = 0; k < platformJointCount && k < 4 && firstPlatform + k < MaxModules; ++k)
        state->platformActual[k] = jointData[firstPlatform + k].actualPosition;
}

// ---------------------------------------------------------------- errors

void HardwareProtocolVQTCANV2::GetError(std::string& status, std::string& shortCode) {
    LogSingleton* log = LogSingleton::instance();
    std::lock_guard<std::mutex> lock(m_TextMutex);
    noError = false;
    unsigned combined = 0;
    std::string text;
    const int records = moduleCount < MaxModules ? moduleCount : MaxModules;

    if (!canInterface.IsConnected()) {
        text = "not connected";
        shortCode = "NotConnected";
    } else {
        const uint32_t now = static_cast<uint32_t>(std::time(nullptr));
        for (int i = 0; i < records; ++i) {
            Hardware::jointData& r = jointData[i];
            combined |= r.errorCode;
            if ((r.errorCode & Codec::kErrEstop) && now - r.lastSupplyWarning > 10) {
                log->addFormat("ProtocolVQTCANV2: low supply in module %d", i + 1);
                r.lastSupplyWarning = now;
            }
        }
        if (mainIoState[4] != 3) combined |= Codec::kErrEstop;
        Codec::DecodeErrorCode(combined, text, shortCode);
        const bool isError = text != "no error";
        if (!isError) {
            hwErrorCount = 0;
        } else if (hwErrorCount < HwErrorTolerance) {
            ++hwErrorCount;
            log->addFormat("ProtocolVQTCANV2: allowing NoError, cntHWError: %d/%d - Error: %s", hwErrorCount,
                           HwErrorTolerance, text);
            if (hwErrorCount == 1) canInterface.WriteCanDump();
        }
        if (!(isError && hwErrorCount >= HwErrorTolerance)) {
            text = "no error";
            shortCode = "NoError";
            noError = true;
        }
    }

    if (text != lastStatusText) {
        std::string codes;
        if (combined != 0) {
            codes = ", codes:";
            for (int i = 0; i < records; ++i) codes += " " + std::to_string(jointData[i].errorCode);
        }
        log->addFormat("CAN status changed: %s, cntHWError: %d%s", text, hwErrorCount, codes);
        uint8_t red, green, blue;
        Codec::StatusLightColour(combined, red, green, blue);
        SendFrame(Codec::EncodeStatusLight(red, green, blue));
        lastStatusText = text;
    }
    status = "Status: " + text;
}

void HardwareProtocolVQTCANV2::GetError(std::string* moduleErrors) {
    if (moduleErrors == nullptr) return;
    std::lock_guard<std::mutex> lock(m_TextMutex);
    const int records = moduleCount < MaxModules ? moduleCount : MaxModules;
    for (int i = 0; i < records; ++i) moduleErrors[i] = jointData[i].errorText;
}

void HardwareProtocolVQTCANV2::GetErrorHexCode(int* codes) {
    if (codes == nullptr) return;
    const int records = moduleCount < MaxModules ? moduleCount : MaxModules;
    for (int i = 0; i < records; ++i) codes[i] = static_cast<int>(jointData[i].errorCode);
}

void HardwareProtocolVQTCANV2::GetCurrentValues(int* currents) {
    if (currents == nullptr) return;
    const int joints = JointModuleCount();
    for (int i = 0; i < joints; ++i) currents[i] = Codec::SaturateToInt32(jointData[i].current);
}

int HardwareProtocolVQTCANV2::GetTotalCurrent() {
    const int joints = JointModuleCount();
    int64_t sum = 0;
    for (int i = 0; i < joints; ++i) sum += std::llabs(static_cast<long long>(Codec::SaturateToInt32(jointData[i].current)));
    return sum > INT32_MAX ? INT32_MAX : static_cast<int>(sum);
}

int HardwareProtocolVQTCANV2::GetEStop() {
    if (!canInterface.IsConnected()) return 0;
    return mainIoState[4] != 3 ? 1 : 0;
}

void HardwareProtocolVQTCANV2::GetTempValues(float* temperatures) {
    if (temperatures == nullptr) return;
    const int joints = JointModuleCount();
    for (int i = 0; i < joints; ++i) temperatures[i] = jointData[i].temperature;
}

void HardwareProtocolVQTCANV2::GetReferenceStatus(bool* referenced, int* allReferenced) {
    bool all = true;
    const int joints = JointModuleCount();
    for (int i = 0; i < joints; ++i) {
        if (!IsRobotOrExternalJoint(i)) continue;
        if (referenced != nullptr) referenced[i] = jointData[i].referenced != 0;
        if (!jointData[i].referenced) all = false;
    }
    if (allReferenced != nullptr) *allReferenced = all ? 1 : 0;
}

bool HardwareProtocolVQTCANV2::GetMotorEnabled() {
    const int records = moduleCount < MaxModules ? moduleCount : MaxModules;
    if (records <= 0) return false;
    for (int i = 0; i < records; ++i) {
        if (jointData[i].motorReady != 1 || jointData[i].jointMode == JointModeZeroTorque) return false;
    }
    return true;
}

bool HardwareProtocolVQTCANV2::JointPositionsKnown() {
    // Without a bus no set-point reaches a module: nothing to guard.
    if (!canInterface.IsConnected()) return true;
    const int records = moduleCount < MaxModules ? moduleCount : MaxModules;
    for (int i = 0; i < records; ++i)
        if (IsRobotOrExternalJoint(i) && !m_PositionKnown[i]) return false;
    return true;
}

// ---------------------------------------------------------------- digital I/O

void HardwareProtocolVQTCANV2::SetIO(int module, int bit, bool value) {
    if (!canInterface.IsConnected() || bit < 0 || bit > 7 || module < 0 || module >= MaxModules) return;
    if (value) {
        digitalOutputBytes[module] |= (1 << bit);
    } else {
        digitalOutputBytes[module] &= ~(1 << bit);
    }
}

void HardwareProtocolVQTCANV2::SetRailIO(int dioModule, int bit, bool value) {
    if (!canInterface.IsConnected() || bit < 0 || bit > 6 || dioModule < 0 || dioModule >= 5) return;
    if (value) {
        railOutputBytes[dioModule] |= (1 << bit);
    } else {
        railOutputBytes[dioModule] &= ~(1 << bit);
    }
}

// Output bytes go out in the set-point frames of the module records (8 bits)
// and the output frames of the DIO modules (7 bits).
bool HardwareProtocolVQTCANV2::ReachesIO(int module, int bit) const {
    return bit >= 0 && bit <= 7 && module >= 0 && module < moduleCount && module < MaxModules;
}

bool HardwareProtocolVQTCANV2::ReachesRailIO(int dioModule, int bit) const {
    return bit >= 0 && bit <= 6 && dioModule >= 0 && dioModule < dioModuleCount && dioModule < 5;
}

void HardwareProtocolVQTCANV2::GetDigitalIO(int module, int* value) {
    if (value == nullptr || robotJointCount <= 0 || module < 0 || module >= moduleCount || module >= MaxModules)
        return;
    *value = static_cast<int>(jointData[module].digitalInputs);
}

void HardwareProtocolVQTCANV2::GetDigitalIORail(bool* inputs) {
    if (inputs == nullptr) return;
    for (int k = 0; k < 3 && k < dioModuleCount; ++k) {
        const int record = moduleCount - dioModuleCount + k;
        if (record < 0 || record >= MaxModules) continue;
        const uint64_t bits = jointData[record].digitalInputs;
        for (int b = 0; b <= 6; ++b) inputs[20 + 10 * k + b] = ((bits >> b) & 1) != 0;
    }
}

}  // namespace Hardware
