#include "korvella-cansim/SimJointModuleV1.h"

#include "hardware/VQTCANCodec.h"
#include "korvella-cansim/SimFrames.h"

#include <cmath>

namespace CanSim {

using Codec = Hardware::VQTCANCodec;

namespace {

uint16_t ClampRaw(double v) {
    if (!(v > 0.0)) return 0;
    if (v >= 65535.0) return 0xFFFF;
    return static_cast<uint16_t>(std::lround(v));
}

}  // namespace

SimJointModuleV1::SimJointModuleV1(const Config& config) : m_Config(config) {
    m_State.positionRaw = config.initialPositionRaw;
    m_State.targetRaw = ClampRaw(config.initialPositionRaw);
}

void SimJointModuleV1::OnFrame(const can_frame& frame, const timespec&, Bus& bus) {
    if (frame.can_dlc == 0 || (frame.can_id & ~CAN_SFF_MASK) != 0) return;
    if (static_cast<int>(frame.can_id) != m_Config.canId) return;
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_State.silent) return;
    const auto c = Codec::DecodeControllerFrame(frame.can_dlc, frame.data);
    if (c.kind == Codec::ControllerFrame::PositionSetPoint) {
        ++m_State.setPoints;
        m_State.lastCounter = c.counter;
        m_State.lastOutputByte = c.outputByte;
        m_State.targetRaw = c.positionRaw;
        Codec::Status s;
        s.errorBits = static_cast<uint8_t>(m_State.errorBits | (m_State.enabled ? 0 : Codec::kErrMotorNotEnabled));
        s.positionRaw = ClampRaw(m_State.positionRaw);
        s.current = m_State.enabled ? 12 : 0;
        s.inputs = m_Inputs;
        s.referenced = m_Referenced;
        SendFrame(bus, Codec::EncodeStatus(m_Config.canId, s));
        ++m_State.statusSent;
    } else if (c.kind == Codec::ControllerFrame::Command) {
        ++m_State.commands[c.command];
        switch (c.command) {
        case Codec::kCmdResetError: m_State.errorBits = 0; break;
        case Codec::kCmdEnable:
            m_State.enabled = true;
            m_State.targetRaw = ClampRaw(m_State.positionRaw);
            break;
        case Codec::kCmdDisable: m_State.enabled = false; break;
        case Codec::kCmdSetZero:
            m_State.positionRaw = Codec::kZeroRaw;
            m_State.targetRaw = Codec::kZeroRaw;
            break;
        default: break;
        }
    }
}

void SimJointModuleV1::OnTick(const timespec& now, Bus&) {
    const int64_t nowUs = static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
    std::lock_guard<std::mutex> lock(m_Mutex);
    const double dt = m_LastTickUs == 0 ? 0.0 : static_cast<double>(nowUs - m_LastTickUs) / 1e6;
    m_LastTickUs = nowUs;
    if (!m_State.enabled || dt <= 0.0) return;
    const double maxStep = m_Config.maxSpeedRaw * dt;
    const double diff = static_cast<double>(m_State.targetRaw) - m_State.positionRaw;
    if (std::fabs(diff) <= maxStep) {
        m_State.positionRaw = m_State.targetRaw;
    } else {
        m_State.positionRaw += diff > 0 ? maxStep : -maxStep;
    }
}

void SimJointModuleV1::SetSilent(bool silent) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_State.silent = silent;
}

void SimJointModuleV1::SetErrorBits(uint8_t bits) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_State.errorBits = bits;
}

void SimJointModuleV1::SetInputs(uint8_t bits) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Inputs = static_cast<uint8_t>(bits & 0x7F);
}

void SimJointModuleV1::SetReferenced(bool referenced) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Referenced = referenced;
}

SimJointModuleV1::Snapshot SimJointModuleV1::GetSnapshot() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    Snapshot s = m_State;
    if (!s.enabled) s.errorBits |= Codec::kErrMotorNotEnabled;
    return s;
}

}  // namespace CanSim
