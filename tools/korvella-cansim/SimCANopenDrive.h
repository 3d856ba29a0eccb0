#pragma once
// A simulated CiA 402 drive on top of the CANopen node: the statusword
// follows the controlword through the state machine (fault reset on the
// rising edge of bit 7), 0x6061 shows 0x6060, and in operation_enabled the
// position follows the set-points of the mode: CSP and interpolated position
// at the next SYNC, profile position on the new-set-point bit, the velocity
// modes from 0x60FF. As CiA 402 has it: only the configured modes of
// operation are accepted; homing starts on the rising edge of bit 4 in
// operation enabled only (method 35 at once, other methods after a delay) and
// ends with the bits 0x1400 and the position at the home offset 0x607C; quick
// stop follows option code 2 (0x605A): ramp, then switch on disabled.
// In the cyclic modes (CSP, interpolated position) the motor follows the
// set-points as a real axis does, its acceleration bounded: a set-point it
// keeps up with is reached at its SYNC, one that outruns it leaves a lag, and
// a lag beyond the following error window (0x6065) faults the drive with
// statusword bit 13 and the emergency 0x8611.

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
    // The motor's acceleration in counts per second squared (default: a strong motor).
    void SetAcceleration(double countsPerSecond2);
    // The following error window 0x6065, now and after every reset (a stored parameter).
    void SetFollowingWindow(uint32_t counts);
    // The largest lag of the position behind its set-point, in counts, since the last call.
    double TakePeakLag();

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
    // One SYNC of the motor towards the set-point; faults the drive on a lag beyond the window.
    void Follow(double setPoint, Bus& bus);
    double CycleSeconds() const;
    // The motor stops following (disabled, another mode, a jump of its position).
    void Stand();
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
    double m_Acceleration;           // counts/s^2
    uint32_t m_StoredWindow;         // 0x6065 at power-on and reset
    bool m_Following = false;        // the motor runs after the cyclic set-points
    double m_Velocity = 0.0;         // counts/s
    double m_SetPoint = 0.0;         // the set-point of the last SYNC
    double m_PeakLag = 0.0;
    uint16_t m_FaultCode = 0;
    uint8_t m_FaultRegister = 0;
};

}  // namespace CanSim
