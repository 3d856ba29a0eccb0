// Drive control of the CANopen driver: the CiA 402 state walk, enable, error
// reset, referencing by homing, set to zero, the per-cycle set-points and
// slow polls, errors, currents, temperatures, supply and the I/O modules.

#include "hardware/HardwareProtocolCANopen.h"

#include "common/LogSingleton.h"
#include "datatypes/RobotState.h"
#include "hardware/VQTCANV2Codec.h"

#include <algorithm>
#include <cmath>

namespace Hardware {

int32_t HardwareProtocolCANopen::MotorValue(float setPoint, float gearScale, float gearZero) {
    // To the nearest count: a set-point taken from a drive's position comes
    // back a hair below it, and truncating would step the drive by one count.
    const double motor = static_cast<double>(setPoint) * gearScale + gearZero;
    return VQTCANV2Codec::SaturateToInt32(std::round(motor));
}

// ---------------------------------------------------------------- state machine

bool HardwareProtocolCANopen::SendControlWord(JointRecord& record, unsigned int value) {
    record.controlword = static_cast<uint16_t>(value & 0xFFFF);
    if (sdo.SendSDOConfirmed(record.canId, 0x6040, 0, value & 0xFFFF)) return true;
    LogSingleton::instance()->addErrorFormat("CANopen: Joint %d: controlword 0x%04X not confirmed",
                                             static_cast<int>(record.canId), value & 0xFFFF);
    return false;
}

void HardwareProtocolCANopen::SendControlWordCyclic(JointRecord& record, unsigned int value) {
    sdo.SendSDO(record.canId, 0x6040, 0, value & 0xFFFF);
    record.controlword = static_cast<uint16_t>(value & 0xFFFF);
}

bool HardwareProtocolCANopen::SetControlWord(JointRecord& record, ControlWordStatus target) {
    LogSingleton* log = LogSingleton::instance();
    const int id = record.canId;
    if (sdo.Skipped(id)) return false;
    ControlWordStatus current = ControlWordStringToStatus(sdo.StateText(record));
    const std::string from = ControlWordStatusToString(current);
    const std::string to = ControlWordStatusToString(target);
    if (current == target) {
        log->addFormat("CANopen: Joint %d: Ignoring requested state change from %s to %s", id, from, to);
        return true;
    }
    log->addFormat("CANopen: Joint %d: Requested state change from %s to %s", id, from, to);
    if (target == ControlWordQuickStopActive && current != ControlWordOperationEnabled) {
        log->addFormat("CANopen: Requested invalid state change from %s to %s", from, to);
    }
    bool valid = true;
    while (current != target && valid) {
        ControlWordStatus next = target;
        switch (current) {
            case ControlWordFault: next = ControlWordSwitchOnDisabled; break;
            case ControlWordQuickStopActive: next = ControlWordOperationEnabled; break;
            case ControlWordSwitchOnDisabled:
                next = (target == ControlWordSwitchedOn || target == ControlWordOperationEnabled)
                           ? ControlWordReadyToSwitchOn
                           : target;
                break;
            case ControlWordReadyToSwitchOn:
                next = target == ControlWordOperationEnabled ? ControlWordSwitchedOn : target;
                break;
            default: next = target; break;
        }
        valid = SetControlWordApplyState(record, current, next);
        current = next;
        Sleep(50);
    }
    RequestStatusWord(record);
    return valid;
}

bool HardwareProtocolCANopen::SetControlWordApplyState(JointRecord& record, ControlWordStatus from,
                                                       ControlWordStatus to) {
    LogSingleton* log = LogSingleton::instance();
    const int id = record.canId;
    log->addFormat("CANopen: Joint %d: Changing state from %s to %s", id, ControlWordStatusToString(from),
                   ControlWordStatusToString(to));
    switch (to) {
        case ControlWordSwitchOnDisabled:
            if (from == ControlWordFault) {
                log->addFormat("CANopen: Joint %d: Fault reset from status word 0x%02X", id,
                               static_cast<int>(record.statusword));
                if (!SendControlWord(record, 0x0000)) return false;
                Sleep(50);
                if (!SendControlWord(record, 0x0080)) return false;
                Sleep(50);
                return true;
            }
            return SendControlWord(record, 0x0000);
        case ControlWordReadyToSwitchOn:
            if (from == ControlWordSwitchOnDisabled || from == ControlWordSwitchedOn ||
                from == ControlWordOperationEnabled) {
                return SendControlWord(record, 0x0006);
            }
            break;
        case ControlWordSwitchedOn:
            if (from == ControlWordOperationEnabled && !IsFirmware1650(record) && record.profile == CANopenProfileIPO) {
                return SendControlWord(record, 0x0000);
            }
            if (from == ControlWordReadyToSwitchOn || from == ControlWordOperationEnabled) {
                return SendControlWord(record, 0x0007);
            }
            break;
        case ControlWordOperationEnabled:
            if (from == ControlWordSwitchedOn) {
                return SendControlWord(record, 0x000F);
            }
            if (from == ControlWordQuickStopActive) {
                if (!SendControlWord(record, 0x000B)) return false;
                log->addFormat("CANopen: Joint %d: Quick stop reset via operation_enabled from status word 0x%02X", id,
                               static_cast<int>(record.statusword));
                Sleep(100);
                return SendControlWord(record, 0x000F);
            }
            break;
        case ControlWordQuickStopActive:
        case ControlWordFault:
            if (from == ControlWordOperationEnabled) {
                return SendControlWord(record, 0x0002);
            }
            break;
        default: break;
    }
    log->add("CANopen: tried invalid state change from {0} to {1}");
    return false;
}

// ---------------------------------------------------------------- commands

void HardwareProtocolCANopen::EnableMotors(bool enable) {
    Operation operation(*this);
    const int drives = DriveCount();
    for (int i = 0; i < drives; ++i) {
        Hardware::jointData& r = jointData[i];
        if (r.canId == 0) continue;
        // Disabling leaves every drive switched on without torque, not only some.
        SetControlWord(r, enable ? ControlWordOperationEnabled : ControlWordSwitchedOn);
    }
}

bool HardwareProtocolCANopen::GetMotorEnabled() {
    if (robotJointCount <= 0) return false;
    const int drives = DriveCount();
    for (int i = 0; i < drives; ++i) {
        if (jointData[i].motorReady != 1) return false;
    }
    return true;
}

bool HardwareProtocolCANopen::JointPositionsKnown() {
    if (!canInterface.IsConnected()) return true;
    const int drives = DriveCount();
    for (int i = 0; i < drives; ++i) {
        if (jointData[i].canId != 0 && jointData[i].positionKnown == 0) return false;
    }
    return true;
}

void HardwareProtocolCANopen::HaltVelocityModeJoints() {
    const int drives = DriveCount();
    for (int i = 0; i < drives; ++i) {
        Hardware::jointData& r = jointData[i];
        if (r.canId == 0 || (r.profile != CANopenProfileVelocity && r.profile != CANopenProfileCSV)) continue;
        SendControlWordCyclic(r, r.controlword | 0x0100u);
        sdo.SendSDO(r.canId, 0x60FF, 0, 0);
    }
}

void HardwareProtocolCANopen::ResetError() {
    // The operator's reset asks a node that did not answer before once more.
    sdo.RetrySkippedNodes();
    Operation operation(*this);
    const std::vector<int> setUp = SetUpRebootedDevices();
    HaltVelocityModeJoints();
    Sleep(10);
    RequestActualProfiles();
    Sleep(10);
    const int drives = DriveCount();
    for (int i = 0; i < drives; ++i) {
        if (jointData[i].canId == 0) continue;
        RequestPosition(jointData[i]);
        if (gapMs > 0.0f) Sleep(gapMs);
    }
    Sleep(10);
    for (int i = 0; i < drives; ++i) {
        Hardware::jointData& r = jointData[i];
        r.setPosition = r.actualPosition.load();
        const unsigned value = static_cast<unsigned>(MotorValue(r.setPosition, r.gearScale, r.gearZero));
        if (profile == CANopenProfileIPO) {
            sdo.SendSDO(r.canId, 0x60C4, 6, 0);
            Sleep(5);
            sdo.SendSDO(r.canId, 0x60C4, 6, 1);
            sdo.SendSDO(r.canId, 0x60C1, 1, value);
        } else if (profile == CANopenProfileCSP) {
            sdo.SendSDO(r.canId, 0x607A, 0, value);
        }
    }
    InitProfileMotors(true);
    // A set-up that its device did not answer is still due.
    for (int i : setUp)
        if (sdo.Skipped(jointData[i].canId)) jointData[i].needsSetUp = 1;
}

void HardwareProtocolCANopen::InitJointForHoming(JointRecord& r) {
    LogSingleton::instance()->addFormat("CANopen: initializing Homing mode for CANid %d, method %d",
                                        static_cast<int>(r.canId), static_cast<int>(r.homingMethod));
    r.profile = r.homingMethod == 35 ? CANopenProfileHomingSetToZero : CANopenProfileHoming;
    r.homingStatus = 0xFFFF;
    const bool fir1650 = IsFirmware1650(r);
    if (!fir1650) {
        sdo.SendSDO(r.canId, 0x3243, 1, 0);
        Sleep(5);
    }
    sdo.SendSDO(r.canId, 0x607C, 0, static_cast<unsigned>(r.homeOffset.load()));
    Sleep(5);
    sdo.SendSDO(r.canId, 0x607D, 1, static_cast<unsigned>(r.minPositionLimit.load()));
    Sleep(5);
    sdo.SendSDO(r.canId, 0x607D, 2, static_cast<unsigned>(r.maxPositionLimit.load()));
    Sleep(5);
    if (!fir1650 && r.homingMethod != 35) {
        sdo.SendSDO(r.canId, 0x3701, 0, 0xFFFF);
        Sleep(5);
    }
    sdo.SendSDO(r.canId, 0x6098, 0, static_cast<unsigned>(static_cast<int8_t>(r.homingMethod.load())));
    Sleep(5);
    SetMode(r, r.profile, 6);
    Sleep(5);
}

void HardwareProtocolCANopen::InitJointForHomingSetToZero(JointRecord& r) {
    LogSingleton::instance()->addFormat("CANopen: initializing Homing mode (set-to-zero) for CANid %d",
                                        static_cast<int>(r.canId));
    r.profile = CANopenProfileHomingSetToZero;
    r.homingStatus = 0xFFFF;
    sdo.SendSDO(r.canId, 0x607C, 0, 0);
    Sleep(5);
    if (r.minPositionLimit == 0 || r.maxPositionLimit == 0) {
        sdo.SendSDO(r.canId, 0x607D, 1, 0);
        Sleep(5);
        sdo.SendSDO(r.canId, 0x607D, 2, 0);
    } else {
        sdo.SendSDO(r.canId, 0x607D, 1, static_cast<unsigned>(r.homeOffset + r.minPositionLimit));
        Sleep(5);
        sdo.SendSDO(r.canId, 0x607D, 2, static_cast<unsigned>(r.homeOffset + r.maxPositionLimit));
    }
    Sleep(5);
    sdo.SendSDO(r.canId, 0x6098, 0, 35);
    Sleep(5);
    SetMode(r, r.profile, 6);
    Sleep(5);
}

void HardwareProtocolCANopen::ReferenceSingleJoint(int joint) {
    if (!IsRobotOrExternalJoint(joint) || !GetMotorEnabled()) return;
    Hardware::jointData& r = jointData[joint];
    r.referenced = 0;
    r.referencing = 1;
    LogSingleton::instance()->addFormat("CANopen: Starting to reference joint %d", static_cast<int>(r.canId));
    Operation operation(*this);
    DisableCommunication();
    SetControlWord(r, ControlWordSwitchedOn);
    Sleep(5);
    r.referencingState = 3;
    InitJointForHoming(r);
    SetControlWord(r, ControlWordOperationEnabled);
    Sleep(500);
    SendControlWord(r, 0x001F);
    EnableCommunication();
}

void HardwareProtocolCANopen::SetToZeroPos(int joint) {
    if (!IsRobotOrExternalJoint(joint)) return;
    Hardware::jointData& r = jointData[joint];
    LogSingleton* log = LogSingleton::instance();
    // Referenced once the drive reports homing attained, not before.
    r.referenced = 0;
    log->add("CANopen: Setting joint to zero " + std::to_string(joint));
    Operation operation(*this);
    DisableCommunication();
    SetControlWord(r, ControlWordSwitchedOn);
    Sleep(5);
    InitJointForHomingSetToZero(r);
    r.referencingState = 3;
    // CiA 402 homing: operation enabled, then the rising edge of bit 4.
    bool ok = SetControlWord(r, ControlWordOperationEnabled) && SendControlWord(r, 0x001F) && WaitForHoming(r);
    if (!ok) {
        r.referenced = 0;
        r.referencingState = 7;
        log->addErrorFormat("CANopen: Joint %d: set to zero not confirmed by the drive", static_cast<int>(r.canId));
        sdo.SetDriveError(r, "set to zero not confirmed");
    }
    // Left as it was found: without torque.
    SetControlWord(r, ControlWordSwitchedOn);
    bool all = true;
    const int drives = DriveCount();
    for (int i = 0; i < drives; ++i) all = all && jointData[i].referenced != 0;
    referencedAll = all;
    HoldPositionsBeforeSync();
    EnableCommunication();
}

bool HardwareProtocolCANopen::WaitForHoming(JointRecord& r) {
    // Communication is off (no SYNC, no transmit PDO): the statusword by SDO.
    const int64_t until = NowSteadyMs() + HomingConfirmMs;
    while (NowSteadyMs() < until) {
        if (!sdo.RequestSDOAndWait(r.canId, 0x6041, 0)) return false;
        const uint16_t bits = static_cast<uint16_t>(r.statusword & 0x3400);
        if (bits & 0x2000) return false;  // homing error
        if ((bits & 0x1000) && r.referenced != 0) return true;
        Sleep(10);
    }
    return false;
}

void HardwareProtocolCANopen::HoldPositionsBeforeSync() {
    // A drive applies a buffered set-point at the next SYNC: one sent before
    // the pause would move it now. Its own position replaces it.
    if (!usePDOs) return;
    const int drives = DriveCount();
    for (int i = 0; i < drives; ++i) {
        Hardware::jointData& r = jointData[i];
        if (r.canId == 0 || (r.profile != CANopenProfileIPO && r.profile != CANopenProfileCSP)) continue;
        if (!sdo.RequestSDOAndWait(r.canId, 0x6064, 0)) continue;
        r.setPosition = r.actualPosition.load();
        pdo.SendPosPDO(r, MotorValue(r.setPosition, r.gearScale, r.gearZero));
    }
}

void HardwareProtocolCANopen::CheckHomingFinished() {
    bool all = true;
    const int drives = DriveCount();
    for (int i = 0; i < drives; ++i) {
        Hardware::jointData& r = jointData[i];
        if (r.referencing != 0 && r.referenced != 0) r.referencing = 0;
        all = all && r.referenced != 0;
    }
    referencedAll = all;
}

void HardwareProtocolCANopen::ReferenceReset() {
    for (int i = 0; i < 9; ++i) {
        jointData[i].referencingState = 2;
        jointData[i].referenced = 0;
        jointData[i].referencing = 0;
    }
    referencedAll = false;
}

void HardwareProtocolCANopen::GetReferenceStatus(bool* referenced, int* allReferenced) {
    bool all = true;
    const int joints = robotJointCount + externalJointCount;
    for (int i = 0; i < joints && i < MaxModules; ++i) {
        if (referenced != nullptr) referenced[i] = jointData[i].referenced != 0;
        all = all && jointData[i].referenced != 0;
    }
    if (allReferenced != nullptr) *allReferenced = all ? 1 : 0;
}

// ---------------------------------------------------------------- cycle

int64_t HardwareProtocolCANopen::SyncTimeBetween(int64_t since, int64_t now) const {
    if (since >= now) return 0;
    int64_t paused = 0;
    for (const auto& pause : syncPauses) {
        const int64_t from = std::max(pause.first, since);
        const int64_t to = std::min(pause.second, now);
        if (to > from) paused += to - from;
    }
    return now - since - paused;
}

void HardwareProtocolCANopen::CheckFrameAges() {
    if (syncsSinceUs == 0) return;
    const bool connected = canInterface.IsConnected();
    // A node is silent only for as long as it had SYNCs to answer: the time of a
    // hold (or before the first SYNC) is no fault of it, and the silence before
    // and after a hold adds up. A node found silent before the hold keeps its
    // error until it reports again.
    const int64_t now = NowUs();
    const int records = Records();
    for (int i = 0; i < records; ++i) {
        Hardware::jointData& r = jointData[i];
        // An I/O module without inputs sends no transmit PDO.
        if (usePDOs && r.kind == 1 && r.inputGroups <= 0) continue;
        const int id = (usePDOs ? 0x180 : 0x580) + r.canId;
        int dlc = 0;
        unsigned char data[8] = {};
        const int age = canInterface.GetLastMessage(id, &dlc, data, nullptr);
        const int64_t lastHeard = dlc > 0 ? std::max(now - static_cast<int64_t>(age) * 100, syncsSinceUs) : syncsSinceUs;
        if (SyncTimeBetween(lastHeard, now) < static_cast<int64_t>(FrameMaxAge) * 100) continue;
        r.errorCode = connected ? 0x200 : 0x100;
        r.motorReady = 0;
        // Its last statusword would still read as enabled.
        r.statusword = 0;
        sdo.SetStateText(r, "na");
    }
}

void HardwareProtocolCANopen::SetJoints(const DataTypes::RobotState& state) {
    sdo.CheckTimeouts();
    if (!GetConnectionStatus() || !communicationEnabled) return;
    CheckFrameAges();
    if (NowUs() - lastFrameTimeUs.load() > WatchdogSilenceMs * 1000) ++watchdogCounter;
    if (syncGapMs > 0.0f) Sleep(syncGapMs);
    const int joints = robotJointCount + externalJointCount;
    if (!usePDOs && joints > 0) {
        if (statusPollIndex >= joints || statusPollIndex < 0) statusPollIndex = 0;
        RequestStatusWord(jointData[statusPollIndex]);
        statusPollIndex = (statusPollIndex + 1) % joints;
    }
    CheckHomingFinished();

    const int drives = DriveCount();
    bool ready = true;
    for (int i = 0; i < drives; ++i) {
        Hardware::jointData& r = jointData[i];
        if (r.canId == 0) continue;
        const int index = i < robotJointCount ? i : 6 + (i - robotJointCount);
        if (index >= 0 && index < 9) r.setPosition = state.jointSetPoint[index];
        if (r.motorReady != 1) ready = false;
        // The mode the drive reports, not the one asked for: a drive that
        // refused it would ignore every set-point.
        if (r.jointMode == JointModePosition &&
            (r.profile != static_cast<uint32_t>(profile) || r.actualProfile != static_cast<uint32_t>(profile)))
            ready = false;
        if (r.jointMode == JointModeVelocity &&
            ((r.profile != CANopenProfileVelocity && r.profile != CANopenProfileCSV) || r.actualProfile != r.profile))
            ready = false;
    }
    if (!ready) {
        HaltVelocityModeJoints();
    } else {
        for (int i = 0; i < drives; ++i) {
            Hardware::jointData& r = jointData[i];
            if (r.canId == 0) continue;
            SendSetPoint(r, i, state);
            if (gapMs > 0.0f) Sleep(gapMs);
        }
    }

    const int records = Records();
    for (int i = drives; i < records; ++i) {
        Hardware::jointData& r = jointData[i];
        if (r.canId == 0) continue;
        if (!usePDOs) {
            const uint64_t outputs = r.digitalOutputs;
            for (int k = 0; k < r.outputGroups && k < 8; ++k)
                sdo.SendSDO(r.canId, 0x6200, k + 1, static_cast<unsigned>((outputs >> (8 * k)) & 0xFF));
            for (int k = 0; k < r.inputGroups && k < 8; ++k) sdo.RequestSDO(r.canId, 0x6000, k + 1);
        } else if (r.outputGroups >= 1) {
            pdo.SendDIOPDO(r);
        }
        if (gapMs > 0.0f) Sleep(gapMs);
    }
    SlowPolls();
}

void HardwareProtocolCANopen::SendSetPoint(JointRecord& r, int record, const DataTypes::RobotState& state) {
    const int32_t motor = MotorValue(r.setPosition, r.gearScale, r.gearZero);
    const unsigned raw = static_cast<unsigned>(motor);
    switch (r.profile) {
        case CANopenProfilePosition:
            // No set-point PDO carries profile position: always by SDO.
            SendControlWordCyclic(r, r.controlword & ~0x0110u);
            sdo.SendSDO(r.canId, 0x607A, 0, raw);
            Sleep(1);
            SendControlWordCyclic(r, r.controlword | 0x0010u);
            break;
        case CANopenProfileIPO: {
            const bool ok = (r.statusword & 0x1000) != 0 && (r.controlword & 0x0110) == 0x0010;
            if (!ok) SendControlWordCyclic(r, r.controlword & ~0x0110u);
            if (usePDOs) {
                pdo.SendPosPDO(r, motor);
            } else {
                sdo.SendSDO(r.canId, 0x60C1, 1, raw);
            }
            if (!ok) {
                Sleep(5);
                SendControlWordCyclic(r, r.controlword | 0x0010u);
            }
            break;
        }
        case CANopenProfileCSP:
            if (usePDOs) {
                pdo.SendPosPDO(r, motor);
            } else {
                sdo.SendSDO(r.canId, 0x607A, 0, raw);
            }
            break;
        case CANopenProfileVelocity:
        case CANopenProfileCSV: {
            const int k = record - robotJointCount;
            float v = (k >= 0 && k < 3) ? state.jointVelocitySetPoint[6 + k] : 0.0f;
            const float limit = r.maxVelocity;
            if (v > limit) v = limit;
            if (v < -limit) v = -limit;
            v = v * state.override / 100.0f;
            r.setVelocity = v;
            // A halt from a cycle in which some drive was not ready ends here,
            // or the joint would never move again.
            if (r.controlword & 0x0100) SendControlWordCyclic(r, r.controlword & ~0x0100u);
            // No set-point PDO carries cyclic synchronous velocity: by SDO.
            if (usePDOs && r.profile == CANopenProfileVelocity) {
                pdo.SendVelPDO(r, v);
            } else {
                sdo.SendSDO(r.canId, 0x60FF, 0, static_cast<unsigned>(VQTCANV2Codec::SaturateToInt32(v)));
            }
            break;
        }
        default: break;
    }
}

void HardwareProtocolCANopen::SlowPolls() {
    ++slowPollCounter;
    switch (slowPollCounter) {
        case 20:
            if (!usePDOs) RequestPosition();
            break;
        case 40:
            if (!usePDOs) RequestTemperatures();
            break;
        case 60:
            if (!usePDOs) RequestCurrents();
            break;
        case 80: RequestErrorsErrorCount(); break;
        case 100:
            if (!usePDOs) RequestErrorsErrorRegister();
            break;
        default: break;
    }
    if (slowPollCounter > 120) {
        slowPollCounter = 0;
        ReadVoltagePower();
    }
}

void HardwareProtocolCANopen::RequestPosition() {
    const int drives = DriveCount();
    for (int i = 0; i < drives; ++i) {
        RequestPosition(jointData[i]);
        if (gapMs > 0.0f) Sleep(gapMs);
    }
}

void HardwareProtocolCANopen::RequestPosition(const JointRecord& record) { sdo.RequestSDO(record.canId, 0x6064, 0); }

void HardwareProtocolCANopen::RequestTemperatures() {
    const int drives = DriveCount();
    for (int i = 0; i < drives; ++i) sdo.RequestSDO(jointData[i].canId, 0x4014, 3);
}

void HardwareProtocolCANopen::RequestCurrents() {
    const int drives = DriveCount();
    for (int i = 0; i < drives; ++i) {
        const bool closedLoop = (jointData[i].driveSubmode & 1) != 0;
        sdo.RequestSDO(jointData[i].canId, 0x2039, closedLoop ? 1 : 3);
        sdo.RequestSDO(jointData[i].canId, 0x2039, closedLoop ? 2 : 4);
    }
}

void HardwareProtocolCANopen::RequestErrorsErrorCount() {
    const int drives = DriveCount();
    for (int i = 0; i < drives; ++i) sdo.RequestSDO(jointData[i].canId, 0x1003, 0);
}

void HardwareProtocolCANopen::RequestErrorsErrorRegister() {
    const int drives = DriveCount();
    for (int i = 0; i < drives; ++i) sdo.RequestSDO(jointData[i].canId, 0x1001, 0);
}

void HardwareProtocolCANopen::ReadVoltagePower() {
    const int drives = DriveCount();
    if (!usePDOs) {
        for (int i = 0; i < drives; ++i) sdo.RequestSDO(jointData[i].canId, 0x4014, 1);
    }
    double sum = 0.0;
    int count = 0;
    for (int i = 0; i < drives; ++i) {
        const float v = jointData[i].supply;
        if (v > 0.1f) {
            sum += v;
            ++count;
        }
    }
    const double average = count > 0 ? sum / count : 0.0;
    mainIoState[1] = static_cast<int>(average * 1000.0);
}

void HardwareProtocolCANopen::GetJoints(DataTypes::RobotState* state) {
    if (state == nullptr) return;
    for (int i = 0; i < robotJointCount && i < 6; ++i) state->jointActual[i] = jointData[i].actualPosition;
    for (int k = 0; k < externalJointCount && k < 3 && robotJointCount + k < MaxModules; ++k) {
        const Hardware::jointData& r = jointData[robotJointCount + k];
        state->jointActual[6 + k] = r.jointMode == JointModeVelocity ? 0.0f : r.actualPosition.load();
    }
}

// ---------------------------------------------------------------- errors

int HardwareProtocolCANopen::TranslateJointErrorCode(const JointRecord& r) {
    if (!GetConnectionStatus()) return 0x100;
    const unsigned sw = r.statusword;
    int code = 0;
    if (sw == 0) {
        code = 0x200;
    } else if ((sw & 0x4F) == 0) {
        code = 0x84;
    } else if ((sw & 0x4F) == 0x40) {
        code = 0x04;
    } else if ((sw & 0x6F) == 0x21 || (sw & 0x6F) == 0x23) {
        code = 0x04;
    } else if ((sw & 0x6F) == 0x27) {
        code = 0;
    } else if ((sw & 0x6F) == 0x07) {
        code = 0x06;
    } else if ((sw & 0x4F) == 0x0F || (sw & 0x4F) == 0x08) {
        code = 0x84;
    }
    if ((r.profile == CANopenProfilePosition || r.profile == CANopenProfileCSP) && (sw & 0x2000)) code |= 0x10;
    const unsigned reg = r.errorRegister;
    if (reg & 0xA5) code |= 0x80;
    if (reg & 0x02) code |= 0x40;
    if (reg & 0x08) code |= 0x01;
    if (reg & 0x10) code |= 0x08;
    return code;
}

void HardwareProtocolCANopen::GetErrorHexCode(int* codes) {
    if (codes == nullptr) return;
    const int records = Records();
    for (int i = 0; i < records; ++i) {
        const Hardware::jointData& r = jointData[i];
        if (r.kind == 1) {
            codes[i] = static_cast<int>(r.errorCode);
        } else if (r.profile == CANopenProfileNone || r.profile == CANopenProfileHoming) {
            codes[i] = 0x04;
        } else {
            codes[i] = TranslateJointErrorCode(r);
            // Not in the mode asked for: it follows none of the set-points.
            if (CANopenModeOfProfile(r.actualProfile) != CANopenModeOfProfile(r.profile)) codes[i] |= 0x04;
        }
    }
}

void HardwareProtocolCANopen::GetError(std::string* texts) {
    if (texts == nullptr) return;
    const int records = Records();
    for (int i = 0; i < records; ++i) {
        const std::string refused = sdo.DriveError(jointData[i]);
        texts[i] = refused.empty() ? sdo.StateText(jointData[i]) : refused;
    }
}

void HardwareProtocolCANopen::GetError(std::string& longText, std::string& shortText) {
    if (!GetConnectionStatus()) {
        longText = "not connected";
        shortText = "NotConnected";
        return;
    }
    const int records = Records();
    if (records == 0) {
        longText = "not inited";
        shortText = "NotInited";
        return;
    }
    const int drives = DriveCount();
    for (int i = 0; i < drives; ++i) {
        const std::string refused = sdo.DriveError(jointData[i]);
        if (!refused.empty()) {
            longText = refused;
            shortText = refused;
            return;
        }
    }
    int lowest = -1;
    int lowestState = 99;
    bool allEnabled = true;
    bool homing = false;
    for (int i = 0; i < drives; ++i) {
        const int s = ControlWordStringToStatus(sdo.StateText(jointData[i]));
        if (s <= lowestState) {
            lowestState = s;
            lowest = i;
        }
        if (s != ControlWordOperationEnabled) allEnabled = false;
        if (jointData[i].profile == CANopenProfileHoming || jointData[i].profile == CANopenProfileHomingSetToZero)
            homing = true;
    }
    if (drives > 0 && allEnabled && homing) {
        longText = "homing";
        shortText = "Homing";
        return;
    }
    if (lowestState != ControlWordFault) {
        for (int i = drives; i < records; ++i) {
            const unsigned code = jointData[i].errorCode;
            if (code & 0x100) {
                longText = "bus dead";
                shortText = "BUS";
                return;
            }
            if (code & 0x200) {
                longText = "dio module dead";
                shortText = "DEAD";
                return;
            }
        }
    }
    if (lowest < 0) {
        longText = "operation_enabled";
        shortText = longText;
        return;
    }
    const std::string text = sdo.StateText(jointData[lowest]);
    if (lowestState == ControlWordFault && text == "na") {
        longText = "module dead";
        shortText = "DEAD";
        return;
    }
    longText = text;
    shortText = text;
}

void HardwareProtocolCANopen::GetCurrentValues(int* currents) {
    if (currents == nullptr) return;
    const int drives = DriveCount();
    for (int i = 0; i < drives; ++i) currents[i] = VQTCANV2Codec::SaturateToInt32(jointData[i].current.load());
}

void HardwareProtocolCANopen::GetTempValues(float* temperatures) {
    if (temperatures == nullptr) return;
    const int drives = DriveCount();
    for (int i = 0; i < drives; ++i) temperatures[i] = jointData[i].temperature;
}

// ---------------------------------------------------------------- I/O modules

void HardwareProtocolCANopen::SetRailIO(int dioModule, int bit, bool value) {
    if (dioModule < 0 || dioModule >= dioModuleCount || bit < 0 || bit > 63) return;
    const int record = FirstDIORecord() + dioModule;
    if (record < 0 || record >= MaxModules) return;
    Hardware::jointData& r = jointData[record];
    const uint64_t mask = 1ull << bit;
    r.digitalOutputs = value ? (r.digitalOutputs | mask) : (r.digitalOutputs & ~mask);
}

void HardwareProtocolCANopen::GetDigitalIORail(bool* inputs) {
    if (inputs == nullptr) return;
    const int first = FirstDIORecord();
    for (int m = 0; m < 3 && m < dioModuleCount && first + m < MaxModules; ++m) {
        const uint64_t bits = jointData[first + m].digitalInputs;
        for (int b = 0; b < 10; ++b) inputs[20 + 10 * m + b] = ((bits >> b) & 1) != 0;
    }
}

}  // namespace Hardware
