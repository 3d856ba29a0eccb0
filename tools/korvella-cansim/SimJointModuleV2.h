#pragma once
// A simulated joint module of the maker's protocol v2/v3: answers every
// set-point or keep-alive with its status, sends its temperatures, carries out
// reset, enable, referencing, alignment, set-to-zero and restart, and moves its
// joint toward the set-point while enabled.

#include "korvella-cansim/Device.h"

#include <array>
#include <cstdint>
#include <mutex>

namespace CanSim {

class SimJointModuleV2 : public Device {
public:
    struct Config {
        int canId = 0x10;
        float gearScale = 190.0f;  // for the default speed limit only
        uint8_t hardwareId = 0x52;
        uint16_t firmwareVersion = 0x0300;
        double initialPositionRaw = 0.0;  // encoder count at power-on
    };
    // How long the module's own actions take. Defaults are of the order a real
    // module needs; tests shorten them.
    struct Timing {
        int referencingMs = 1500;
        int alignMs = 800;
        int restartMs = 300;
        int temperaturePeriodMs = 100;
        // Motion limit in raw units per second; 0: derived from the gear scale (360 units/s).
        double maxSpeedRaw = 0.0;
        // Communication watchdog of an enabled module: no set-point or keep-alive
        // for this long sets error bit 0x08 (with error event 0x76), and the
        // module stands where it is until a reset-error command. 0: off.
        int commWatchdogMs = 1000;
    };
    // What a test can see of the module.
    struct Snapshot {
        bool enabled = false;
        bool referenced = false;
        bool aligned = false;
        bool silent = false;
        bool restarting = false;
        uint8_t errorBits = 0;         // as the next status reports them
        double positionRaw = 0.0;
        int32_t targetRaw = 0;
        int16_t velocityRaw = 0;
        int lastCounter = -1;
        uint8_t lastOutputByte = 0;
        uint64_t setPoints = 0;        // position set-points received
        uint64_t keepAlives = 0;
        uint64_t velocitySetPoints = 0;
        uint64_t statusSent = 0;
        std::array<uint32_t, 256> commands{};  // count per command code (second byte)
    };

    explicit SimJointModuleV2(const Config& config);

    void OnFrame(const can_frame& frame, const timespec& time, Bus& bus) override;
    void OnTick(const timespec& now, Bus& bus) override;

    int CanId() const { return m_Config.canId; }

    // Fault injection and inspection; any thread.
    void SetTiming(const Timing& timing);
    // The communication watchdog's time-out alone, ms; 0 switches it off.
    void SetCommWatchdog(int ms);
    // A silent module neither sends nor hears anything.
    void SetSilent(bool silent);
    // Latched error bits, reported until a reset-error command.
    void SetErrorBits(uint8_t bits);
    // Digital inputs, bits 0 to 5 (bits 6 and 7 carry aligned and referenced).
    void SetInputs(uint8_t bits);
    void SetCurrentRaw(uint16_t raw);
    // One-byte current: byte 5 carries only the flag bit 7.
    void SetShortCurrent(bool shortCurrent);
    void SetTemperatureRaw(uint16_t first, uint16_t second);
    // Power cycle: silent for the restart time, then the start-up message.
    void Restart();
    Snapshot GetSnapshot() const;

private:
    static int64_t Micros(const timespec& t);
    void SendStatus(Bus& bus);
    void HandleCommand(uint8_t command, int64_t nowUs);
    void BeginRestart(int64_t nowUs);
    // A set-point or keep-alive heard: the watchdog starts again.
    void Heard(int64_t nowUs);
    void CheckWatchdog(int64_t nowUs, Bus& bus);

    const Config m_Config;
    mutable std::mutex m_Mutex;
    Timing m_Timing;
    Snapshot m_State;
    uint8_t m_Inputs = 0;
    uint16_t m_CurrentRaw = 120;
    bool m_ShortCurrent = false;
    uint16_t m_TempRaw1 = 194;  // about 35 degC with the default scale
    uint16_t m_TempRaw2 = 178;  // about 30 degC
    int64_t m_LastTickUs = 0;
    int64_t m_ReferencingDoneUs = 0;  // 0: not referencing
    int64_t m_AlignDoneUs = 0;
    int64_t m_RestartDoneUs = 0;
    int64_t m_NextTemperatureUs = 0;
    bool m_RestartRequested = false;
    bool m_VelocityMode = false;
    int64_t m_LastHeardUs = 0;  // last set-point or keep-alive, or the enable
};

}  // namespace CanSim
