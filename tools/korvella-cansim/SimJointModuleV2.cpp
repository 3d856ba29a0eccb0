#include "korvella-cansim/SimJointModuleV2.h"

#include "hardware/VQTCANV2Codec.h"
#include "korvella-cansim/SimFrames.h"

#include <cmath>
#include <cstring>

namespace CanSim {

using Codec = Hardware::VQTCANV2Codec;

namespace {

int32_t ClampRaw(double v) {
    if (v >= 2147483647.0) return INT32_MAX;
    if (v <= -2147483648.0) return INT32_MIN;
    return static_cast<int32_t>(std::lround(v));
}

}  // namespace

SimJointModuleV2::SimJointModuleV2(const Config& config) : m_Config(config) {
    m_State.positionRaw = config.initialPositionRaw;
    m_State.targetRaw = ClampRaw(config.initialPositionRaw);
}

int64_t SimJointModuleV2::Micros(const timespec& t) {
    return static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

void SimJointModuleV2::OnFrame(const can_frame& frame, const timespec& time, Bus& bus) {
    if (frame.can_dlc == 0 || (frame.can_id & ~CAN_SFF_MASK) != 0) return;
    if (static_cast<int>(frame.can_id) != m_Config.canId) return;

    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_State.silent || m_State.restarting) return;
    const auto c = Codec::DecodeControllerFrame(static_cast<int>(frame.can_id), frame.can_dlc, frame.data);
    const int64_t nowUs = Micros(time);
    // After its watchdog fired the module answers but follows nothing until a reset.
    const bool following = (m_State.errorBits & Codec::kErrComWatchdog) == 0;
    switch (c.kind) {
    case Codec::ControllerFrame::PositionSetPoint:
        ++m_State.setPoints;
        m_State.lastCounter = c.counter;
        m_State.lastOutputByte = c.outputByte;
        if (following) {
            m_State.targetRaw = c.positionRaw;
            m_VelocityMode = false;
        }
        Heard(nowUs);
        SendStatus(bus);
        break;
    case Codec::ControllerFrame::KeepAlive:
        ++m_State.keepAlives;
        m_State.lastCounter = c.counter;
        Heard(nowUs);
        SendStatus(bus);
        break;
    case Codec::ControllerFrame::VelocitySetPoint:
        ++m_State.velocitySetPoints;
        m_State.lastCounter = c.counter;
        if (following) {
            m_State.velocityRaw = c.velocityRaw;
            m_VelocityMode = true;
        }
        Heard(nowUs);
        SendStatus(bus);
        break;
    case Codec::ControllerFrame::Command:
        ++m_State.commands[c.command];
        HandleCommand(c.command, Micros(time));
        break;
    default:
        break;
    }
}

void SimJointModuleV2::HandleCommand(uint8_t command, int64_t nowUs) {
    switch (command) {
    case Codec::kCmdResetError:
        m_State.errorBits = 0;
        Heard(nowUs);
        break;
    case Codec::kCmdEnable:
        m_State.enabled = true;
        Heard(nowUs);
        // Hold the joint where it is until the next set-point.
        m_State.targetRaw = ClampRaw(m_State.positionRaw);
        m_State.velocityRaw = 0;
        break;
    case Codec::kCmdDisable:
        m_State.enabled = false;
        break;
    case Codec::kCmdStartReferencing:
        m_State.referenced = false;
        m_ReferencingDoneUs = nowUs + static_cast<int64_t>(m_Timing.referencingMs) * 1000;
        break;
    case Codec::kCmdAlign:
        m_AlignDoneUs = nowUs + static_cast<int64_t>(m_Timing.alignMs) * 1000;
        break;
    case Codec::kCmdSetZero:
        m_State.positionRaw = 0.0;
        m_State.targetRaw = 0;
        break;
    case Codec::kCmdRestart:
        BeginRestart(nowUs);
        break;
    default:
        break;
    }
}

void SimJointModuleV2::Heard(int64_t nowUs) {
    if (nowUs > m_LastHeardUs) m_LastHeardUs = nowUs;
}

void SimJointModuleV2::CheckWatchdog(int64_t nowUs, Bus& bus) {
    if (!m_State.enabled || m_Timing.commWatchdogMs <= 0 || (m_State.errorBits & Codec::kErrComWatchdog)) return;
    if (nowUs - m_LastHeardUs < static_cast<int64_t>(m_Timing.commWatchdogMs) * 1000) return;
    // The controller is gone: stand where the joint is, whatever was asked last.
    m_State.errorBits |= Codec::kErrComWatchdog;
    m_State.targetRaw = ClampRaw(m_State.positionRaw);
    m_State.velocityRaw = 0;
    m_VelocityMode = false;
    if (!m_State.silent) SendFrame(bus, Codec::EncodeErrorEvent(m_Config.canId + 2, 0x76, 0, 0));
}

void SimJointModuleV2::BeginRestart(int64_t nowUs) {
    m_State.restarting = true;
    m_RestartDoneUs = nowUs + static_cast<int64_t>(m_Timing.restartMs) * 1000;
    m_State.enabled = false;
    m_State.referenced = false;
    m_State.aligned = false;
    m_State.errorBits = 0;
    m_State.velocityRaw = 0;
    m_ReferencingDoneUs = 0;
    m_AlignDoneUs = 0;
}

void SimJointModuleV2::OnTick(const timespec& now, Bus& bus) {
    const int64_t nowUs = Micros(now);
    std::lock_guard<std::mutex> lock(m_Mutex);
    const double dt = m_LastTickUs == 0 ? 0.0 : static_cast<double>(nowUs - m_LastTickUs) / 1e6;
    m_LastTickUs = nowUs;

    if (m_RestartRequested) {
        m_RestartRequested = false;
        BeginRestart(nowUs);
    }
    if (m_State.restarting) {
        if (nowUs < m_RestartDoneUs) return;
        m_State.restarting = false;
        if (!m_State.silent) {
            // Sent on an identifier of its own so that it never stands in the
            // controller's table as a status frame.
            SendFrame(bus, Codec::EncodeStartupMessage(m_Config.canId + 2, m_Config.hardwareId,
                                                      m_Config.firmwareVersion));
        }
    }
    if (m_ReferencingDoneUs != 0 && nowUs >= m_ReferencingDoneUs) {
        m_ReferencingDoneUs = 0;
        m_State.referenced = true;
    }
    if (m_AlignDoneUs != 0 && nowUs >= m_AlignDoneUs) {
        m_AlignDoneUs = 0;
        m_State.aligned = true;
    }

    CheckWatchdog(nowUs, bus);
    if (m_State.enabled && dt > 0.0) {
        if (m_VelocityMode) {
            m_State.positionRaw += static_cast<double>(m_State.velocityRaw) * dt;
        } else {
            const double speed = m_Timing.maxSpeedRaw > 0.0 ? m_Timing.maxSpeedRaw
                                                           : std::fabs(m_Config.gearScale) * 360.0;
            const double maxStep = speed * dt;
            const double diff = static_cast<double>(m_State.targetRaw) - m_State.positionRaw;
            if (std::fabs(diff) <= maxStep) {
                m_State.positionRaw = m_State.targetRaw;
            } else {
                m_State.positionRaw += diff > 0 ? maxStep : -maxStep;
            }
        }
    }

    if (!m_State.silent && nowUs >= m_NextTemperatureUs) {
        m_NextTemperatureUs = nowUs + static_cast<int64_t>(m_Timing.temperaturePeriodMs) * 1000;
        SendFrame(bus, Codec::EncodeTemperature(m_Config.canId, m_TempRaw1, m_TempRaw2));
    }
}

void SimJointModuleV2::SendStatus(Bus& bus) {
    uint8_t bits = m_State.errorBits;
    if (!m_State.enabled) bits |= Codec::kErrMotorNotEnabled;
    uint8_t inputs = static_cast<uint8_t>(m_Inputs & 0x3F);
    if (m_State.referenced) inputs |= 0x80;
    if (m_State.aligned) inputs |= 0x40;
    uint16_t current = m_State.enabled ? m_CurrentRaw : 0;
    if (m_ShortCurrent) current = static_cast<uint16_t>(0x8000 | (current & 0xFF));
    SendFrame(bus, Codec::EncodeStatus(m_Config.canId, bits, ClampRaw(m_State.positionRaw), current, inputs));
    ++m_State.statusSent;
}

void SimJointModuleV2::SetTiming(const Timing& timing) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Timing = timing;
}

void SimJointModuleV2::SetCommWatchdog(int ms) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Timing.commWatchdogMs = ms;
}

void SimJointModuleV2::SetSilent(bool silent) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_State.silent = silent;
}

void SimJointModuleV2::SetErrorBits(uint8_t bits) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_State.errorBits = bits;
}

void SimJointModuleV2::SetInputs(uint8_t bits) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Inputs = bits;
}

void SimJointModuleV2::SetCurrentRaw(uint16_t raw) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_CurrentRaw = raw;
}

void SimJointModuleV2::SetShortCurrent(bool shortCurrent) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_ShortCurrent = shortCurrent;
}

void SimJointModuleV2::SetTemperatureRaw(uint16_t first, uint16_t second) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_TempRaw1 = first;
    m_TempRaw2 = second;
}

void SimJointModuleV2::Restart() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_RestartRequested = true;
}

SimJointModuleV2::Snapshot SimJointModuleV2::GetSnapshot() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    Snapshot s = m_State;
    if (!s.enabled) s.errorBits |= Codec::kErrMotorNotEnabled;
    return s;
}

}  // namespace CanSim
