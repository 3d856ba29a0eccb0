#pragma once
// A simulated CiA 402 drive on top of the CANopen node: the statusword
// follows the controlword through the state machine (fault reset on the
// rising edge of bit 7), 0x6061 shows 0x6060, and in operation_enabled the
// position follows the set-points of the mode: CSP and interpolated position
// at the next SYNC, profile position on the new-set-point bit, the velocity
// modes from 0x60FF. As CiA 402 has it: only the configured modes of
// operation are accepted; homing starts on the rising edge of bit 4 in
// operation enabled only (method 35 at once, other methods after a delay) and
// ends with the bits 0x1400 and the position at the home offset 0x607C; a CSP
// target further than the following error window (0x6065) from the position
// faults the drive (0x8611); quick stop follows option code 2 (0x605A): ramp,
// then switch on disabled.

#include "korvella-cansim/SimCANopenNode.h"

#include <vector>

namespace CanSim {

class SimCANopenDrive : public SimCANopenNode {
public:
    enum class State { SwitchOnDisabled, ReadyToSwitchOn, SwitchedOn, OperationEnabled, QuickStopActive, Fault };

    explicit SimCANopenDrive(const Config& config);

    // Any thread.
    // Fault state with an emergency frame, kept in 0x1001 and 0x1003 until a fault reset.
    void InjectFault(uint16_t code, uint8_t errorRegister);
    // The next homing runs (other than method 35) end in a homing error.
    void SetHomingFails(bool fails);
    void SetHomingDelayMs(int ms);
    // Modes of operation the drive accepts in 0x6060 (others: abort 0x06090030).
    void SetSupportedModes(const std::vector<int>& modes);
    State GetState() const;
    int32_t Position() const;

protected:
    void OnObjectWritten(int index, int subindex, Bus& bus) override;
    void OnSync(Bus& bus) override;
    void OnProfileTick(int64_t nowUs, Bus& bus) override;
    void OnReset() override;
    uint32_t RefuseDownload(int index, int subindex, uint32_t value) const override;

private:
    void HandleControlword(uint16_t cw, Bus& bus);
    void StartHoming();
    void SetPosition(double position);
    void UpdateStatusword();
    int8_t Mode() const;

    State m_State = State::SwitchOnDisabled;
    uint16_t m_LastControlword = 0;
    double m_Position = 0.0;
    uint16_t m_HomingBits = 0x0400;  // interrupted or not started
    int64_t m_HomingDoneUs = 0;      // 0: no homing run under way
    int64_t m_NowUs = 0;
    int64_t m_LastTickUs = 0;
    int m_HomingDelayMs = 500;
    bool m_HomingFails = false;
    std::vector<int> m_SupportedModes{1, 3, 6, 7, 8, 9};
    int64_t m_QuickStopEndUs = 0;  // option code 2: switch on disabled after the ramp
    bool m_TargetReached = true;
    bool m_FaultPending = false;
    bool m_FollowingError = false;
    uint16_t m_FaultCode = 0;
    uint8_t m_FaultRegister = 0;
};

}  // namespace CanSim
