// Command sequences of the v2/v3 driver. They run on the caller's thread and
// hold back the cyclic set-points while they send.

#include "hardware/HardwareProtocolVQTCANV2.h"

#include "common/LogSingleton.h"
#include "hardware/PauseCyclic.h"

namespace Hardware {

namespace {

using Codec = VQTCANV2Codec;

}  // namespace

void HardwareProtocolVQTCANV2::ResetError() {
    PauseCyclic pause(pausedSequences, cyclicSending);
    const int records = moduleCount < MaxModules ? moduleCount : MaxModules;
    for (int i = 0; i < records; ++i) {
        jointData[i].referencing = 0;
        SendFrame(Codec::EncodeResetError(jointData[i].canId));
        Sleep(2.0f);
    }
    // The robot master has taken the set-points from the positions read back.
    m_HoldAtReported = false;
}

void HardwareProtocolVQTCANV2::EnableMotors(bool enable) {
    PauseCyclic pause(pausedSequences, cyclicSending);
    const int records = moduleCount < MaxModules ? moduleCount : MaxModules;
    for (int i = 0; i < records; ++i) {
        const int id = jointData[i].canId;
        SendFrame(enable ? Codec::EncodeEnableMotor(id) : Codec::EncodeDisableMotor(id));
        Sleep(2.0f);
    }
}

void HardwareProtocolVQTCANV2::ReferenceSingleJoint(int joint) {
    if (joint < 0 || joint >= JointModuleCount()) return;
    LogSingleton* log = LogSingleton::instance();
    Hardware::jointData& r = jointData[joint];
    if (r.errorCode != 0) {
        log->addFormat("VQTCAN2: Can not reference joint %d, error code %d", joint, static_cast<int>(r.errorCode));
        return;
    }
    PauseCyclic pause(pausedSequences, cyclicSending);
    log->add("VQTCAN2: Starting to reference joint ", joint);
    r.referencing = 1;
    SendFrame(Codec::EncodeStartReferencing(r.canId));
    Sleep(2.0f);
    SendFrame(Codec::EncodeStartReferencing(r.canId));
    Sleep(2.0f);
}

void HardwareProtocolVQTCANV2::AlignMotors() {
    LogSingleton* log = LogSingleton::instance();
    PauseCyclic pause(pausedSequences, cyclicSending);
    log->add("VQTCAN2: Starting to align torque motors");
    const int joints = robotJointCount < 6 ? robotJointCount : 6;
    for (int i = 0; i < joints; ++i) {
        log->add("VQTCAN2: Aligning motor ", i);
        SendFrame(Codec::EncodeAlignMotor(jointData[i].canId));
        Sleep(10.0f);
        SendFrame(Codec::EncodeAlignMotor(jointData[i].canId));
        Sleep(2000.0f);
    }
}

void HardwareProtocolVQTCANV2::SetToZeroPos(int joint) {
    LogSingleton* log = LogSingleton::instance();
    log->addFormat("ProtocolVQTCANV2: SetToZeroPos joint %d started...", joint);
    if (!canInterface.IsConnected()) {
        log->add("ProtocolVQTCANV2: Can not set to zero pos before connecting");
        return;
    }
    const int limit = robotJointCount + externalJointCount + toolJointCount;
    if (joint < 0 || joint >= limit || joint >= MaxModules) return;
    PauseCyclic pause(pausedSequences, cyclicSending);
    SendFrame(Codec::EncodeSetToZero(jointData[joint].canId));
    Sleep(0.5f);
    SendFrame(Codec::EncodeSetToZero(jointData[joint].canId));
    Sleep(1.0f);
    log->addFormat("ProtocolVQTCANV2: Setting joint %d to zero pos", joint);
}

void HardwareProtocolVQTCANV2::SetPlatformJointsToZeroPos() {
    if (!canInterface.IsConnected() || platformJointCount < 1) return;
    PauseCyclic pause(pausedSequences, cyclicSending);
    const int first = FirstPlatformRecord();
    for (int k = 0; k < platformJointCount && first + k < MaxModules; ++k) {
        SendFrame(Codec::EncodeSetToZero(jointData[first + k].canId));
        Sleep(0.5f);
        SendFrame(Codec::EncodeSetToZero(jointData[first + k].canId));
        Sleep(1.0f);
    }
    LogSingleton::instance()->add("ProtocolVQTCANV2: Setting platform joints to zero pos");
}

void HardwareProtocolVQTCANV2::RestartMotorController(int module) {
    LogSingleton* log = LogSingleton::instance();
    if (!canInterface.IsConnected()) {
        log->addError("Can not restart motor controller before connecting.");
        return;
    }
    if (module < 0 || module >= JointModuleCount() || jointData[module].kind != 0) return;
    PauseCyclic pause(pausedSequences, cyclicSending);
    SendFrame(Codec::EncodeRestart(jointData[module].canId));
    Sleep(10.0f);
    SendFrame(Codec::EncodeRestart(jointData[module].canId));
    log->addFormat("Sent restart request to motor controller %d", module);
}

void HardwareProtocolVQTCANV2::RestartModules() {
    const int records = moduleCount < MaxModules ? moduleCount : MaxModules;
    for (int i = 0; i < records; ++i) {
        if (jointData[i].kind == 0) RestartMotorController(i);
    }
}

void HardwareProtocolVQTCANV2::SetJointMode(int joint, JointMode mode) {
    if (joint < 0 || joint >= JointModuleCount()) return;
    LogSingleton* log = LogSingleton::instance();
    if (jointData[joint].jointMode == mode) {
        log->addFormat("Not setting mode of joint %d to %d, already set", joint, mode);
        return;
    }
    log->addFormat("Setting mode of joint %d to %d", joint, mode);
    jointData[joint].jointMode = mode;
}

}  // namespace Hardware
