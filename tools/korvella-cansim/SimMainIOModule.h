#pragma once
// The simulated main I/O module: reports the supply and its two supply
// circuits, shows the status light the controller sets, and sends the
// two-stage shutdown request when asked to.

#include "korvella-cansim/Device.h"

#include <cstdint>
#include <mutex>

namespace CanSim {

class SimMainIOModule : public Device {
public:
    struct Snapshot {
        bool silent = false;
        uint16_t supplyRaw = 2400;
        bool firstCircuitOn = true;
        bool secondCircuitOn = true;
        int red = -1, green = -1, blue = -1;  // last status light, -1 before the first
        uint64_t statusLightFrames = 0;
        uint64_t supplyFramesSent = 0;
        uint64_t shutdownFramesSent = 0;
    };

    SimMainIOModule();

    void OnFrame(const can_frame& frame, const timespec& time, Bus& bus) override;
    void OnTick(const timespec& now, Bus& bus) override;

    // Any thread.
    void SetSilent(bool silent);
    void SetSupply(uint16_t raw, bool firstCircuitOn, bool secondCircuitOn);
    void SetSupplyPeriodMs(int ms);
    // First stage now, the second stage after `secondStageDelayMs`.
    void RequestShutdown(int secondStageDelayMs = 100);
    // One shutdown frame with any stage code (sequence faults).
    void SendShutdownStage(uint8_t stage);
    Snapshot GetSnapshot() const;

private:
    static int64_t Micros(const timespec& t);

    mutable std::mutex m_Mutex;
    Snapshot m_State;
    int m_SupplyPeriodMs = 100;
    int64_t m_NextSupplyUs = 0;
    // Pending shutdown frames: stage code and due time (0: now).
    bool m_ShutdownRequested = false;
    int m_SecondStageDelayMs = 100;
    int64_t m_SecondStageUs = 0;  // 0: none pending
    int m_ExtraStage = -1;        // a single frame to send on the next tick
};

}  // namespace CanSim
