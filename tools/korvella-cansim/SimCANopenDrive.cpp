#include "korvella-cansim/SimCANopenDrive.h"

#include <algorithm>
#include <cmath>

namespace CanSim {

namespace {

constexpr int8_t kModeProfilePosition = 1;
constexpr int8_t kModeProfileVelocity = 3;
constexpr int8_t kModeHoming = 6;
constexpr int8_t kModeInterpolated = 7;
constexpr int8_t kModeCSP = 8;
constexpr int8_t kModeCSV = 9;

}  // namespace

namespace {

constexpr uint32_t kAbortValueRange = 0x06090030;
constexpr uint32_t kAbortState = 0x08000022;
constexpr uint32_t kDefaultFollowingWindow = 2000;  // position units
constexpr int64_t kQuickStopRampUs = 50000;
// A motor well able to follow any joint the controller plans, when no robot file says more.
constexpr double kDefaultAcceleration = 1.0e6;  // counts/s^2

}  // namespace

SimCANopenDrive::SimCANopenDrive(const Config& config)
    : SimCANopenNode(config), m_Acceleration(kDefaultAcceleration), m_StoredWindow(kDefaultFollowingWindow) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    OnReset();
}

uint32_t SimCANopenDrive::RefuseDownload(int index, int subindex, uint32_t value) const {
    (void)subindex;
    if (index == 0x6060) {
        const int mode = static_cast<int8_t>(value & 0xFF);
        for (int m : m_SupportedModes)
            if (m == mode) return 0;
        return kAbortValueRange;
    }
    // The mode cannot change under a running homing.
    if (index == 0x6098 && m_HomingDoneUs != 0) return kAbortState;
    return 0;
}

int8_t SimCANopenDrive::Mode() const { return static_cast<int8_t>(Get(0x6060, 0) & 0xFF); }

void SimCANopenDrive::SetPosition(double position) {
    if (position > 2147483647.0) position = 2147483647.0;
    if (position < -2147483648.0) position = -2147483648.0;
    m_Position = position;
    Set(0x6064, 0, static_cast<uint32_t>(static_cast<int32_t>(std::llround(position))));
    Set(0x6063, 0, Get(0x6064, 0));
}

void SimCANopenDrive::UpdateStatusword() {
    uint16_t sw = 0;
    switch (m_State) {
        case State::SwitchOnDisabled: sw = 0x0250; break;
        case State::ReadyToSwitchOn: sw = 0x0231; break;
        case State::SwitchedOn: sw = 0x0233; break;
        case State::OperationEnabled: sw = 0x0237; break;
        case State::QuickStopActive: sw = 0x0217; break;
        case State::Fault: sw = 0x0218; break;
    }
    const bool enabled = m_State == State::OperationEnabled;
    switch (Mode()) {
        case kModeHoming: sw = static_cast<uint16_t>(sw | m_HomingBits); break;
        case kModeInterpolated:
            if (enabled && (m_LastControlword & 0x0010)) sw |= 0x1000;  // interpolation active
            sw |= 0x0400;
            break;
        case kModeProfilePosition:
            if (m_TargetReached) sw |= 0x0400;
            if (m_LastControlword & 0x0010) sw |= 0x1000;  // set-point acknowledge
            break;
        case kModeCSP:
        case kModeCSV:
            sw |= 0x0400;
            if (enabled) sw |= 0x1000;  // drive follows the target
            break;
        default: sw |= 0x0400; break;
    }
    if (m_FollowingError) sw |= 0x2000;
    Set(0x6041, 0, sw);
    const bool current = enabled || m_State == State::SwitchedOn;
    Set(0x2039, 1, current ? 300 : 0);
    Set(0x2039, 2, current ? 400 : 0);
    Set(0x2039, 3, current ? 300 : 0);
    Set(0x2039, 4, current ? 400 : 0);
}

void SimCANopenDrive::HandleControlword(uint16_t cw, Bus& bus) {
    const uint16_t previous = m_LastControlword;
    m_LastControlword = cw;
    const bool rising4 = (cw & 0x0010) && !(previous & 0x0010);
    if (m_State == State::Fault) {
        if ((cw & 0x0080) && !(previous & 0x0080)) {
            m_State = State::SwitchOnDisabled;
            m_FollowingError = false;
            SendEmergency(0, 0, bus);  // error reset
        }
        UpdateStatusword();
        return;
    }
    if ((cw & 0x0080) == 0) {
        const State s = m_State;
        if ((cw & 0x0002) == 0) {
            if (s != State::SwitchOnDisabled) m_State = State::SwitchOnDisabled;
        } else if ((cw & 0x0006) == 0x0002) {
            if (s == State::OperationEnabled) {
                m_State = State::QuickStopActive;
                m_QuickStopEndUs = m_NowUs + kQuickStopRampUs;
            } else if (s == State::ReadyToSwitchOn || s == State::SwitchedOn) {
                m_State = State::SwitchOnDisabled;
            }
        } else if ((cw & 0x0007) == 0x0006) {
            if (s == State::SwitchOnDisabled || s == State::SwitchedOn || s == State::OperationEnabled)
                m_State = State::ReadyToSwitchOn;
        } else if ((cw & 0x000F) == 0x0007) {
            if (s == State::ReadyToSwitchOn || s == State::OperationEnabled) m_State = State::SwitchedOn;
        } else if ((cw & 0x000F) == 0x000F) {
            if (s == State::SwitchedOn || s == State::QuickStopActive || s == State::ReadyToSwitchOn)
                m_State = State::OperationEnabled;
        }
    }
    if (m_State != State::OperationEnabled) Stand();
    const int8_t mode = Mode();
    if (rising4) {
        if (mode == kModeHoming) {
            if (m_State == State::OperationEnabled) StartHoming();
        } else if (mode == kModeProfilePosition && m_State == State::OperationEnabled) {
            SetPosition(static_cast<int32_t>(Get(0x607A, 0)));
            m_TargetReached = true;
        }
    }
    UpdateStatusword();
}

void SimCANopenDrive::Stand() {
    m_Following = false;
    m_Velocity = 0.0;
}

void SimCANopenDrive::StartHoming() {
    Stand();
    if ((Get(0x6098, 0) & 0xFF) == 35) {
        SetPosition(static_cast<int32_t>(Get(0x607C, 0)));
        m_HomingBits = 0x1400;
        m_HomingDoneUs = 0;
        return;
    }
    m_HomingBits = 0x0000;  // under way
    m_HomingDoneUs = m_NowUs + static_cast<int64_t>(m_HomingDelayMs) * 1000;
    if (m_HomingDoneUs == 0) m_HomingDoneUs = 1;
}

void SimCANopenDrive::OnObjectWritten(int index, int subindex, Bus& bus) {
    (void)subindex;
    if (index == 0x6040) {
        HandleControlword(static_cast<uint16_t>(Get(0x6040, 0)), bus);
    } else if (index == 0x6060) {
        Stand();
        Set(0x6061, 0, Get(0x6060, 0));
        if (Mode() == kModeHoming) {
            m_HomingBits = 0x0400;
            m_HomingDoneUs = 0;
        }
        UpdateStatusword();
    } else if (index == 0x607A && Mode() == kModeProfilePosition) {
        m_TargetReached = false;
        UpdateStatusword();
    }
}

void SimCANopenDrive::OnSync(Bus& bus) {
    const int8_t mode = Mode();
    if (m_State == State::OperationEnabled && mode == kModeCSP) {
        Follow(static_cast<int32_t>(Get(0x607A, 0)), bus);
    } else if (m_State == State::OperationEnabled && mode == kModeInterpolated && (m_LastControlword & 0x0010)) {
        Follow(static_cast<int32_t>(Get(0x60C1, 1)), bus);
    } else {
        // Out of the cyclic modes the motor stands; it starts again from where it stands.
        Stand();
    }
}

double SimCANopenDrive::CycleSeconds() const {
    // 0x60C2: unit x 10^index seconds, as the controller sets it up; else the usual 10 ms.
    const int unit = static_cast<int>(Get(0x60C2, 1) & 0xFF);
    const int index = static_cast<int8_t>(Get(0x60C2, 2) & 0xFF);
    const double seconds = unit * std::pow(10.0, index);
    return seconds >= 1e-4 && seconds <= 1.0 ? seconds : 0.010;
}

void SimCANopenDrive::Follow(double setPoint, Bus& bus) {
    const double dt = CycleSeconds();
    if (!m_Following) {
        m_Following = true;
        m_Velocity = 0.0;
        m_SetPoint = m_Position;
    }
    // The set-point's own speed, plus what closes the lag it had: at most the speed from which the
    // motor, braking by its acceleration from one cycle to the next, stops where the lag ends.
    const double lag = m_SetPoint - m_Position;
    const double step = m_Acceleration * dt;
    const double brake = step * (std::sqrt(0.25 + 2.0 * std::fabs(lag) / (step * dt)) - 0.5);
    const double catchUp = std::min(std::fabs(lag) / dt, brake);
    const double wanted = (setPoint - m_SetPoint) / dt + (lag < 0.0 ? -catchUp : catchUp);
    m_Velocity += std::max(-step, std::min(step, wanted - m_Velocity));
    m_SetPoint = setPoint;
    // Lands on the set-point when the motor kept up; the rounding of a whole cycle's move must not
    // leave a count of lag behind.
    const double next = m_Position + m_Velocity * dt;
    SetPosition(std::fabs(next - setPoint) < 1e-6 * (1.0 + std::fabs(setPoint)) ? setPoint : next);
    const double now = std::fabs(setPoint - m_Position);
    m_PeakLag = std::max(m_PeakLag, now);
    if (now > static_cast<double>(Get(0x6065, 0))) {
        // The motor is too far behind its set-point: following error.
        m_State = State::Fault;
        m_FollowingError = true;
        Stand();
        SendEmergency(0x8611, 0x21, bus);
        UpdateStatusword();
    }
}

void SimCANopenDrive::OnProfileTick(int64_t nowUs, Bus& bus) {
    const double dt = m_LastTickUs == 0 ? 0.0 : static_cast<double>(nowUs - m_LastTickUs) / 1e6;
    m_LastTickUs = nowUs;
    m_NowUs = nowUs;
    if (m_State == State::QuickStopActive && m_QuickStopEndUs != 0 && nowUs >= m_QuickStopEndUs &&
        (Get(0x605A, 0) & 0xFFFF) == 2) {
        m_QuickStopEndUs = 0;
        m_State = State::SwitchOnDisabled;
        UpdateStatusword();
    }
    if (m_FaultPending) {
        m_FaultPending = false;
        m_State = State::Fault;
        Stand();
        m_HomingDoneUs = 0;
        SendEmergency(m_FaultCode, m_FaultRegister, bus);
        UpdateStatusword();
    }
    const int8_t mode = Mode();
    if (m_State == State::OperationEnabled && (mode == kModeProfileVelocity || mode == kModeCSV) &&
        !(m_LastControlword & 0x0100) && dt > 0.0) {
        SetPosition(m_Position + static_cast<int32_t>(Get(0x60FF, 0)) * dt);
    }
    if (m_HomingDoneUs != 0 && nowUs >= m_HomingDoneUs) {
        m_HomingDoneUs = 0;
        Stand();
        if (m_HomingFails) {
            m_HomingBits = 0x2400;  // homing error, motor stopped
        } else {
            SetPosition(static_cast<int32_t>(Get(0x607C, 0)));
            m_HomingBits = 0x1400;
        }
        UpdateStatusword();
    }
}

void SimCANopenDrive::OnReset() {
    Set(0x6065, 0, m_StoredWindow);
    Set(0x605A, 0, 2);
    m_QuickStopEndUs = 0;
    m_FollowingError = false;
    m_State = State::SwitchOnDisabled;
    m_LastControlword = 0;
    m_HomingBits = 0x0400;
    m_HomingDoneUs = 0;
    m_TargetReached = true;
    Stand();
    SetPosition(m_Position);
    UpdateStatusword();
}

void SimCANopenDrive::InjectFault(uint16_t code, uint8_t errorRegister) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_FaultPending = true;
    m_FaultCode = code;
    m_FaultRegister = errorRegister;
}

void SimCANopenDrive::SetHomingFails(bool fails) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_HomingFails = fails;
}

void SimCANopenDrive::SetHomingDelayMs(int ms) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_HomingDelayMs = ms;
}

void SimCANopenDrive::SetSupportedModes(const std::vector<int>& modes) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_SupportedModes = modes;
}

void SimCANopenDrive::SetAcceleration(double countsPerSecond2) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (countsPerSecond2 > 0.0 && std::isfinite(countsPerSecond2)) m_Acceleration = countsPerSecond2;
}

void SimCANopenDrive::SetFollowingWindow(uint32_t counts) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_StoredWindow = counts;
    Set(0x6065, 0, counts);
}

double SimCANopenDrive::TakePeakLag() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    const double peak = m_PeakLag;
    m_PeakLag = 0.0;
    return peak;
}

SimCANopenDrive::State SimCANopenDrive::GetState() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_State;
}

int32_t SimCANopenDrive::Position() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return static_cast<int32_t>(Get(0x6064, 0));
}

}  // namespace CanSim
