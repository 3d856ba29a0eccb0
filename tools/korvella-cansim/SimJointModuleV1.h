#pragma once
// A simulated first-generation joint module (protocol v1): answers every
// set-point with its status (error bit 0x04 while disabled), carries out
// reset, enable, disable and set-to-zero, and moves its joint toward the
// set-point while enabled.

#include "korvella-cansim/Device.h"

#include <cstdint>
#include <mutex>

namespace CanSim {

class SimJointModuleV1 : public Device {
public:
    struct Config {
        int canId = 0x10;
        double initialPositionRaw = 32000.0;
        double maxSpeedRaw = 20000.0;  // raw units per second
    };
    struct Snapshot {
        bool enabled = false;
        bool silent = false;
        uint8_t errorBits = 0;  // as the next status reports them
        double positionRaw = 0.0;
        uint16_t targetRaw = 0;
        int lastCounter = -1;
        uint8_t lastOutputByte = 0;
        uint64_t setPoints = 0;
        uint64_t statusSent = 0;
        uint32_t commands[256] = {};  // count per command code
    };

    explicit SimJointModuleV1(const Config& config);

    void OnFrame(const can_frame& frame, const timespec& time, Bus& bus) override;
    void OnTick(const timespec& now, Bus& bus) override;

    int CanId() const { return m_Config.canId; }

    // Any thread.
    void SetSilent(bool silent);
    // Latched error bits, reported until a reset-error command.
    void SetErrorBits(uint8_t bits);
    // Digital inputs, bits 0 to 6 (bit 7 is the referenced flag).
    void SetInputs(uint8_t bits);
    void SetReferenced(bool referenced);
    Snapshot GetSnapshot() const;

private:
    const Config m_Config;
    mutable std::mutex m_Mutex;
    Snapshot m_State;
    uint8_t m_Inputs = 0;
    bool m_Referenced = false;
    int64_t m_LastTickUs = 0;
};

}  // namespace CanSim
