// Operations of the robot master that other threads call: reset, motor
// enable, program stop, brake and outputs, jog values, and the settings that
// the project file hands over.

#include "controller/RobotMaster.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "common/LogSingleton.h"
#include "hardware/HardwareProtocol.h"
#include "kinematics/RobotKinematic.h"
#include "server/ModbusServer.h"

namespace {

uint64_t MonotonicMicroSec() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return RobotMaster::ToMicroSec(now);
}

// Suspends the robot cycle while another thread talks to the driver. A count
// rather than a saved flag: operations of two threads may overlap in any
// order, and the cycle resumes only when the last of them has ended.
class CycleSuspension {
public:
    CycleSuspension(std::atomic<int32_t>& count, int beforeMs, int afterMs) : m_Count(count), m_AfterMs(afterMs) {
        ++m_Count;
        RobotMaster::wait(beforeMs);
    }
    ~CycleSuspension() {
        RobotMaster::wait(m_AfterMs);
        --m_Count;
    }
    CycleSuspension(const CycleSuspension&) = delete;
    CycleSuspension& operator=(const CycleSuspension&) = delete;

private:
    std::atomic<int32_t>& m_Count;
    int m_AfterMs;
};

}  // namespace

std::unique_lock<std::mutex> RobotMaster::LockWorkingState() {
    // The robot thread holds the lock for its whole cycle already.
    if (std::this_thread::get_id() == robotThreadId.load()) return std::unique_lock<std::mutex>();
    return std::unique_lock<std::mutex>(workingMutex);
}

bool RobotMaster::GetOutput(int channel) const {
    if (!IsValidIONum(channel)) return false;
    if (OnRobotThreadOrIdle()) return workingState.digitalOutputs[channel];
    const int8_t pending = pendingDOut[channel].load();
    if (pending >= 0) return pending == 1;
    std::lock_guard<std::mutex> lock(publishedMutex);
    return publishedState.digitalOutputs[channel];
}

// ---------------------------------------------------------------- reset, enable, programs

bool RobotMaster::WaitForJointPositions() {
    if (!hardware || DebugMode) return true;
    // Only a running cycle reads positions, and the robot thread cannot wait for itself.
    const int attempts = OnRobotThreadOrIdle() ? 0 : 100;
    for (int i = 0;; ++i) {
        if (hardware->JointPositionsKnown()) return true;
        if (i >= attempts) return false;
        wait(10);
    }
}

// The kinematic model takes the joints as they are, forgetting the last ones,
// so the next cycle does not read older set-points back from it.
void RobotMaster::MoveModelTo(const float* joints, const char* during) {
    LogSingleton* log = LogSingleton::instance();
    try {
        kinematic->ResetLastJoints(joints);
        kinematic->SetJoints(joints, false);
    } catch (int code) {
        log->addErrorFormat(std::string("Error: Could not set joints during ") + during + ", error code %d: %s", code,
                            TranslateKinError(code));
    } catch (const std::exception& e) {
        log->addErrorFormat(std::string("Error: Could not set joints during ") + during + ": %s", e.what());
    }
}

void RobotMaster::Reset() {
    LogSingleton* log = LogSingleton::instance();
    log->add("RobotMaster:  Resetting Joints");
    if (IsEStopDetected()) {
        log->add("RobotMaster: Can not reset errors, EStop detected");
        log->DisplayAndServerSetMessage("Cannot reset motors, EStop detected!");
        return;
    }
    // The set-points are taken from the actual joints: one not yet reported
    // would be driven to 0 at the next enable.
    if (!WaitForJointPositions()) {
        log->add("RobotMaster: Can not reset errors, joint positions not received");
        log->DisplayAndServerSetMessage("Cannot reset motors, joint positions not received!");
        return;
    }
    ErrorStateProgram(IPO::USER, false, "");
    CycleSuspension suspension(cycleSuspensions, 20, 1);
    std::unique_lock<std::mutex> lock = LockWorkingState();
    refSequenceActive = false;
    if (hardware) hardware->GetJoints(&workingState);
    for (int i = 0; i < 9; ++i) workingState.jointSetPoint[i] = workingState.jointActual[i];
    jogAccelJoint.Reset();
    jogAccelCart.Reset();
    if (kinematic) {
        MoveModelTo(workingState.jointActual, "Reset");
        kinematic->tool.SetHWPosition(workingState.toolHWValue[0]);
    }
    if (hardware) {
        hardware->ResetError();
        hardware->GetJoints(&workingState);
    }
    DOutResetOnReset();
    log->add("RobotMaster: Resetting DOuts on reset");
}

void RobotMaster::EnableMotors(bool on) {
    LogSingleton* log = LogSingleton::instance();
    if (on && IsEStopDetected()) {
        log->add("RobotMaster: Can not enable motors, EStop detected");
        log->DisplayAndServerSetMessage("Cannot enable motors, EStop detected!");
        return;
    }
    if (on && !WaitForJointPositions()) {
        log->add("RobotMaster: Can not enable motors, joint positions not received");
        log->DisplayAndServerSetMessage("Cannot enable motors, joint positions not received!");
        return;
    }
    if (on) {
        log->add("RobotMaster: Enabling Motors");
        {
            CycleSuspension suspension(cycleSuspensions, 20, 1);
            if (hardware) hardware->EnableMotors(true);
        }
        SetBrake(true, false);
        ipoMain.RestartCommand();
    } else {
        log->add("RobotMaster: Disabling Motors");
        ResetVelocities();
        SetBrake(false, false);
        CycleSuspension suspension(cycleSuspensions, 20, 1);
        if (hardware) hardware->EnableMotors(false);
    }
}

void RobotMaster::AlignMotors() {
    LogSingleton::instance()->DisplayAndServerSetMessage("Aligning Motors");
    CycleSuspension suspension(cycleSuspensions, 50, 50);
    if (hardware) hardware->AlignMotors();
}

void RobotMaster::ReferenceJoint(int joint) {
    LogSingleton* log = LogSingleton::instance();
    log->DisplayAndServerSetMessage("Ref Joint " + std::to_string(joint + 1));
    if (IsBrakeActive()) {
        log->DisplayAndServerSetMessage("Can not reference, brake active!");
        log->addErrorFormat("Can not reference joint %d, brake active", joint + 1);
        return;
    }
    StopMotionForReferencing();
    CycleSuspension suspension(cycleSuspensions, 10, 10);
    if (hardware) hardware->ReferenceSingleJoint(joint);
}

void RobotMaster::ReferenceJointAlt(int n) {
    if (!hardware) return;
    if (n >= 0 && n <= 5) {
        if (n < hardware->robotJointCount) ReferenceJoint(n);
    } else if (n >= 6 && n <= 8) {
        ReferenceJoint(hardware->robotJointCount + hardware->toolJointCount + n - 6);
    }
}

void RobotMaster::ReferenceAllJoints() {
    if (!hardware || !hardware->GetMotorEnabled()) return;
    LogSingleton::instance()->DisplayAndServerSetMessage("Ref All Joints");
    ReferenceJointsReset();
    EnableMotors(true);
    {
        std::unique_lock<std::mutex> lock = LockWorkingState();
        refStep = 0;
        refRetryCount = 0;
        refSequenceActive = true;
    }
}

void RobotMaster::ReferenceJointsReset() {
    StopMotionForReferencing();
    CycleSuspension suspension(cycleSuspensions, 10, 10);
    if (hardware) hardware->ReferenceReset();
}

// A program or move, running or paused, would go on planning from the joints as
// they were before and send the drives there once it resumes: it ends first.
void RobotMaster::StopMotionForReferencing() {
    if (ipoMain.GetRunState() != IPO::RunStateIdle) ipoMain.Stop(IPO::REFERENCING);
    if (ipoDirect.GetRunState() != IPO::RunStateIdle) ipoDirect.Stop(IPO::REFERENCING, "");
    ResetVelocities();
}

void RobotMaster::ResetAllJointsToZero() {
    LogSingleton* log = LogSingleton::instance();
    log->DisplayAndServerSetMessage("Set Joints to Zero..");
    StopMotionForReferencing();
    // The motors go off: as with every disable, the brake holds the arm.
    SetBrake(false, false);
    {
        CycleSuspension suspension(cycleSuspensions, 20, 1);
        std::unique_lock<std::mutex> lock = LockWorkingState();
        if (hardware) {
            hardware->EnableMotors(false);
            wait(2);
        }
        for (float& v : workingState.jointSetPoint) v = 0.0f;
        workingState.pose(0, 3) = 0.0f;
        workingState.pose(1, 3) = 0.0f;
        workingState.A = 0.0f;
        if (hardware) {
            for (int j = 0; j < 9; ++j) hardware->SetToZeroPos(j);
            hardware->SetPlatformJointsToZeroPos();
        }
        for (float& v : workingState.platformSetPoint) v = 0.0f;
        if (hardware) hardware->ResetError();
        // The model follows the new zero; otherwise the next cycle would read the
        // old set-points back from it and send them.
        if (kinematic) MoveModelTo(workingState.jointSetPoint, "ResetAllJointsToZero");
        jogAccelJoint.Reset();
        jogAccelCart.Reset();
    }
    // A reset right after takes its set-points from the reported positions: return
    // once the drives report the new zero (at most 1 s; the robot thread cannot wait for itself).
    if (!hardware || !hardware->GetConnectionStatus() || OnRobotThreadOrIdle()) return;
    const int joints = std::min(hardware->robotJointCount + hardware->externalJointCount, 9);
    for (int i = 0; i < 100; ++i) {
        const DataTypes::RobotState s = GetRobotState();
        bool zero = true;
        for (int j = 0; j < joints; ++j) zero = zero && std::fabs(s.jointActual[j]) < 0.01f;
        if (zero) return;
        wait(10);
    }
}

void RobotMaster::ToggleMotionMode() {
    LogSingleton* log = LogSingleton::instance();
    switch (motionType.load()) {
        case MotionTypeRobotJoint:
            motionType = MotionTypeRobotCartBase;
            log->add("RobotMaster:  Changing motion mode to ROBOT-CART-BASE");
            break;
        case MotionTypeRobotCartBase:
            motionType = MotionTypeRobotCartTool;
            log->add("RobotMaster:  Changing motion mode to ROBOT-CART-TOOL");
            break;
        case MotionTypeRobotCartTool:
            motionType = MotionTypePlatform;
            log->add("RobotMaster:  Changing motion mode to PLATFORM-CART");
            break;
        case MotionTypePlatform:
            motionType = MotionTypeRobotJoint;
            log->add("RobotMaster:  Changing motion mode to ROBOT-JOINT");
            break;
        default:
            break;
    }
}

void RobotMaster::SetMotionMode(MotionType type) {
    LogSingleton* log = LogSingleton::instance();
    switch (type) {
        case MotionTypeRobotJoint: {
            std::unique_lock<std::mutex> lock = LockWorkingState();
            motionType = type;
            jogAccelJoint.Reset();
            log->add("RobotMaster:  Changing motion mode to ROBOT-JOINT");
            break;
        }
        case MotionTypeRobotCartBase:
        case MotionTypeRobotCartTool: {
            std::unique_lock<std::mutex> lock = LockWorkingState();
            motionType = type;
            jogAccelCart.Reset();
            log->add(type == MotionTypeRobotCartBase ? "RobotMaster:  Changing motion mode to ROBOT-CART-BASE"
                                                     : "RobotMaster:  Changing motion mode to ROBOT-CART-TOOL");
            break;
        }
        case MotionTypePlatform:
            motionType = type;
            log->add("RobotMaster:  Changing motion mode to PLATFORM");
            break;
        case MotionTypeFSM:
            motionType = type;
            log->add("RobotMaster:  Changing motion mode to FSM");
            break;
        default:
            // Not a motion type: the current one stays.
            break;
    }
}

void RobotMaster::SetZeroTorqueMode(bool on) {
    if (on == zeroTorqueEnabled.load()) return;
    LogSingleton* log = LogSingleton::instance();
    if (!IsZeroTorqueAllowed()) {
        log->add("RobotMaster: Tried to switch zero torque mode but is not allowed for any joint");
        return;
    }
    log->add(on ? "RobotMaster: Enabling zero torque mode" : "RobotMaster: Disabling zero torque mode");
    if (hardware) {
        for (int j = 0; j < 16; ++j) {
            if (zeroTorqueAllowed[static_cast<std::size_t>(j)])
                hardware->SetJointMode(j, on ? Hardware::JointModeZeroTorque : Hardware::JointModePosition);
        }
    }
    zeroTorqueEnabled = on;
}


// ---------------------------------------------------------------- brake and outputs

void RobotMaster::SetBrake(bool release, bool now) {
    // One read: a remote change may switch the brake off meanwhile.
    const int32_t channel = DOutChannel.load();
    if (!IsValidIONum(channel)) return;
    LogSingleton* log = LogSingleton::instance();
    const bool released = GetOutput(channel);
    if (!release) {
        log->add(released ? "Enabling brake" : "Brake is already enabled");
        brakeReleasePending = false;
        SetManualDOut(channel, false);
    } else if (now) {
        log->add(released ? "Brake is already released" : "Releasing brake");
        SetManualDOut(channel, true);
    } else {
        log->add(released ? "Brake is already released (delayed)" : "Releasing brake (delayed)");
        brakeReleaseRequestTime = MonotonicMicroSec();
        brakeReleasePending = true;
    }
}

void RobotMaster::DOutResetOnError(bool applyBrake) {
    for (int n = 0; n < 64; ++n) {
        const DOutTargetState state = doutOnError[n].load();
        if (state == DOutTargetState::True) SetManualDOut(n, true);
        if (state == DOutTargetState::False) SetManualDOut(n, false);
    }
    if (applyBrake) SetBrake(false, false);
}

void RobotMaster::DOutResetOnReset() {
    for (int n = 0; n < 64; ++n) {
        const DOutTargetState state = doutOnReset[n].load();
        if (state == DOutTargetState::True) SetManualDOut(n, true);
        if (state == DOutTargetState::False) SetManualDOut(n, false);
    }
    SetBrake(false, false);
}

void RobotMaster::IPOError(IPO* /*ipo*/, bool resetOutputs) {
    if (!resetOutputs) return;
    LogSingleton::instance()->add("RobotMaster: Resetting DOuts on error (IPOError)");
    DOutResetOnError(false);
}

void RobotMaster::IPOErrorFunc(void* context, IPO* ipo, bool resetOutputs) {
    if (context != nullptr) static_cast<RobotMaster*>(context)->IPOError(ipo, resetOutputs);
}

void RobotMaster::SetManualDOut(int channel, bool value) {
    if (!IsValidIONum(channel)) return;
    if (OnRobotThreadOrIdle()) {
        // A newer value than anything still waiting in the mailbox.
        pendingDOut[channel] = -1;
        workingState.digitalOutputs[channel] = value;
    } else {
        pendingDOut[channel] = value ? 1 : 0;
    }
}

void RobotMaster::SetGlobalSignal(int index, bool value) {
    if (index < 0 || index >= DataTypes::RobotState::maxSignals) return;
    if (OnRobotThreadOrIdle()) {
        pendingGlobalSignal[index] = -1;
        workingState.globalSignals[index] = value;
    } else {
        pendingGlobalSignal[index] = value ? 1 : 0;
    }
}

void RobotMaster::SetGripperPosition(float value) {
    if (!std::isfinite(value) || !kinematic) return;
    if (ipoMain.GetRunState() != IPO::RunStateIdle || ipoLogic.GetRunState() != IPO::RunStateIdle ||
        ipoDirect.GetRunState() != IPO::RunStateIdle)
        return;
    value = value < 0.0f ? 0.0f : (value > 100.0f ? 100.0f : value);
    if (OnRobotThreadOrIdle()) {
        pendingGripper = -1.0f;
        kinematic->tool.SetTargetValue(value);
        UpdateTool();
    } else {
        pendingGripper = value;
    }
}

void RobotMaster::ApplyMailboxes() {
    for (int n = 0; n < 64; ++n) {
        const int8_t value = pendingDOut[n].exchange(-1);
        if (value >= 0) workingState.digitalOutputs[n] = value == 1;
    }
    for (int n = 0; n < DataTypes::RobotState::maxSignals; ++n) {
        const int8_t value = pendingGlobalSignal[n].exchange(-1);
        if (value >= 0) workingState.globalSignals[n] = value == 1;
    }
    const float gripper = pendingGripper.exchange(-1.0f);
    if (gripper >= 0.0f && kinematic) kinematic->tool.SetTargetValue(gripper);
}

// ---------------------------------------------------------------- jog values

void RobotMaster::SetJogValues(const float values[9]) {
    std::lock_guard<std::mutex> lock(jogMutex);
    for (int i = 0; i < 9; ++i) {
        float v = values[i];
        if (!std::isfinite(v)) v = 0.0f;
        if (v > 100.0f) v = 100.0f;
        if (v < -100.0f) v = -100.0f;
        currentJogValues[i] = v;
    }
    jogHoldCycles = 30;
}

void RobotMaster::GetJogValues(float values[9]) const {
    std::lock_guard<std::mutex> lock(jogMutex);
    for (int i = 0; i < 9; ++i) values[i] = currentJogValues[i];
}

void RobotMaster::CheckJogValues() {
    std::lock_guard<std::mutex> lock(jogMutex);
    if (jogHoldCycles > 0) {
        --jogHoldCycles;
        return;
    }
    for (float& v : currentJogValues) {
        // A value of exactly 0.05 ends at 0 too instead of being held for ever.
        if (v > 0.05f) {
            v -= 0.05f;
        } else if (v < -0.05f) {
            v += 0.05f;
        } else {
            v = 0.0f;
        }
        if (std::fabs(v) < 0.05f) v = 0.0f;
    }
}

void RobotMaster::SetVelocities(float joint7, float joint8, float joint9) {
    if (!hardware || !hardware->GetMotorEnabled() || ipoMain.IsReplayRunning()) return;
    const float requested[3] = {joint7, joint8, joint9};
    std::unique_lock<std::mutex> lock = LockWorkingState();
    for (int k = 0; k < 3; ++k) {
        const float limit = static_cast<float>(std::fabs(jointMaxVelocity[6 + k]));
        float v = std::isfinite(requested[k]) ? requested[k] : 0.0f;
        if (v > limit) v = limit;
        if (v < -limit) v = -limit;
        workingState.jointVelocitySetPoint[6 + k] = v;
    }
}

void RobotMaster::GetVelocities(float& joint7, float& joint8, float& joint9) {
    std::unique_lock<std::mutex> lock = LockWorkingState();
    joint7 = workingState.jointVelocitySetPoint[6];
    joint8 = workingState.jointVelocitySetPoint[7];
    joint9 = workingState.jointVelocitySetPoint[8];
}

void RobotMaster::ResetVelocities() {
    {
        std::unique_lock<std::mutex> lock = LockWorkingState();
        for (float& v : workingState.jointVelocitySetPoint) v = 0.0f;
    }
    Modbus::ModbusServer::Instance()->ResetExternalJointVelocities();
}

// ---------------------------------------------------------------- project settings

void RobotMaster::SetHomePos(const double joints[9]) {
    LogSingleton* log = LogSingleton::instance();
    std::unique_lock<std::mutex> lock = LockWorkingState();
    for (int i = 0; i < 9; ++i) {
        homePosition[i] = joints[i];
        workingState.jointSetPoint[i] = static_cast<float>(joints[i]);
    }
    if (!kinematic) return;
    try {
        kinematic->SetJoints(workingState.jointSetPoint, false);
        kinematic->GetPosition(&workingState);
        workingState.UpdateABC();
        kinematic->KinAdaptorToInternalFormat(workingState.jointSetPoint, &workingState.pose(2, 3));
    } catch (int code) {
        log->addErrorFormat("Error: Could not set joints during SetHomePos, error code %d: %s", code,
                            TranslateKinError(code));
    } catch (const std::exception& e) {
        log->addErrorFormat("Error: Could not set joints during SetHomePos: %s", e.what());
    }
}

void RobotMaster::GetHomePos(double joints[9]) const {
    for (int i = 0; i < 9; ++i) joints[i] = homePosition[i];
}

void RobotMaster::SetVirtualBox(bool active, const DataTypes::Vector3& min, const DataTypes::Vector3& max) {
    if (!kinematic) return;
    kinematic->virtualBoxActive = active;
    kinematic->virtualBoxMin = min;
    kinematic->virtualBoxMax = max;
}

bool RobotMaster::GetVirtualBox(bool& active, DataTypes::Vector3& min, DataTypes::Vector3& max) const {
    if (!kinematic) return false;
    active = kinematic->virtualBoxActive;
    min = kinematic->virtualBoxMin;
    max = kinematic->virtualBoxMax;
    return true;
}

void RobotMaster::SetProgramDefaultState(int32_t state) { ipoMain.stopOnError = state != 0 ? 1 : 0; }

int32_t RobotMaster::GetProgramDefaultState() const { return ipoMain.stopOnError != 0 ? 1 : 0; }

void RobotMaster::SetExternalAxis(const ExternalAxis& axis) {
    LogSingleton* log = LogSingleton::instance();
    if (axis.index < 0 || axis.index > 2) {
        log->addError("RobotMaster: External axis number out of range");
        return;
    }
    log->addFormat("Adding external axis: %s", axis.ToString());
    std::lock_guard<std::mutex> lock(axesMutex);
    externalAxes[axis.index] = axis;
    externalAxisDefined[axis.index] = true;
}

bool RobotMaster::HasExternalAxis(int32_t index) const {
    if (index < 0 || index > 2) return false;
    std::lock_guard<std::mutex> lock(axesMutex);
    return externalAxisDefined[index];
}

ExternalAxis RobotMaster::GetExternalAxis(int32_t index) const {
    if (index < 0 || index > 2) throw std::out_of_range("external axis number out of range");
    std::lock_guard<std::mutex> lock(axesMutex);
    if (!externalAxisDefined[index])
        throw std::invalid_argument("external axis " + std::to_string(index) + " is not defined");
    return externalAxes[index];
}

void RobotMaster::ChangeSettings(const std::function<void()>& change) {
    auto lock = LockWorkingState();
    change();
}

void RobotMaster::SetBrakeSettings(int32_t doutChannel, int32_t delayMs, int32_t dinChannel) {
    ChangeSettings([&]() {
        DOutChannel = IsValidIONum(doutChannel) ? doutChannel : -1;
        if (delayMs >= 0) DelayMS = delayMs;
        DInChannel = IsValidIONum(dinChannel) ? dinChannel : -1;
    });
}

void RobotMaster::RemoveExternalAxis(int32_t index) {
    if (index < 0 || index > 2) throw std::out_of_range("external axis number out of range");
    LogSingleton::instance()->addFormat("Removing external axis %d", index);
    std::lock_guard<std::mutex> lock(axesMutex);
    externalAxisDefined[index] = false;
}

void RobotMaster::ClearExternalAxes() {
    LogSingleton::instance()->add("Clearing external axes");
    std::lock_guard<std::mutex> lock(axesMutex);
    for (bool& defined : externalAxisDefined) defined = false;
}

void RobotMaster::SetDOutOnReset(int32_t channel, DOutTargetState state) {
    if (IsValidIONum(channel)) doutOnReset[channel] = state;
}

void RobotMaster::SetDOutOnError(int32_t channel, DOutTargetState state) {
    if (IsValidIONum(channel)) doutOnError[channel] = state;
}

DOutTargetState RobotMaster::GetDOutOnReset(int32_t channel) const {
    return IsValidIONum(channel) ? doutOnReset[channel].load() : DOutTargetState::NoChange;
}

DOutTargetState RobotMaster::GetDOutOnError(int32_t channel) const {
    return IsValidIONum(channel) ? doutOnError[channel].load() : DOutTargetState::NoChange;
}

void RobotMaster::AddPLCTrigger(const PLCTrigger::PLCInterfaceTrigger& trigger) {
    std::lock_guard<std::mutex> lock(plcMutex);
    if (plcTriggerCount >= MaxPLCTriggers) {
        LogSingleton::instance()->addFormat("Can not add more than %d PLC triggers", static_cast<int>(MaxPLCTriggers));
        return;
    }
    if (plcTriggerCount < plcTriggers.size()) {
        plcTriggers[plcTriggerCount] = trigger;
    } else {
        plcTriggers.push_back(trigger);
    }
    ++plcTriggerCount;
}

void RobotMaster::ClearPLCTriggers() {
    std::lock_guard<std::mutex> lock(plcMutex);
    plcTriggerCount = 0;
}

std::vector<PLCTrigger::PLCInterfaceTrigger> RobotMaster::GetPLCTriggers() const {
    std::lock_guard<std::mutex> lock(plcMutex);
    return std::vector<PLCTrigger::PLCInterfaceTrigger>(plcTriggers.begin(), plcTriggers.begin() + plcTriggerCount);
}

bool RobotMaster::GetDIOModuleIDs(uint8_t& id1, uint8_t& id2, uint8_t& id3) const {
    if (!hardware) return false;
    hardware->GetDIOModuleIDs(id1, id2, id3);
    return true;
}

std::string RobotMaster::GetProgramFile() const { return ipoMain.GetProgramFile(); }

std::string RobotMaster::GetLogicProgramFile() const { return ipoLogic.GetProgramFile(); }

int32_t RobotMaster::GetReplayMode() const { return ipoMain.replayMode; }
