#pragma once
// A simulated digital I/O module of the maker's protocol: takes its output
// byte from the controller's output frame and answers with a status frame
// that carries its seven digital inputs.

#include "korvella-cansim/Device.h"

#include <cstdint>
#include <mutex>

namespace CanSim {

class SimIOModule : public Device {
public:
    struct Snapshot {
        bool silent = false;
        uint8_t outputs = 0;    // byte 7 of the last output frame
        uint8_t inputs = 0;     // bits 0 to 6
        uint8_t errorBits = 0;
        int lastCounter = -1;
        uint64_t outputFrames = 0;
        uint64_t statusSent = 0;
    };

    explicit SimIOModule(int canId);

    void OnFrame(const can_frame& frame, const timespec& time, Bus& bus) override;

    int CanId() const { return m_CanId; }

    // Any thread.
    void SetSilent(bool silent);
    void SetInputs(uint8_t bits);
    void SetErrorBits(uint8_t bits);
    Snapshot GetSnapshot() const;

private:
    const int m_CanId;
    mutable std::mutex m_Mutex;
    Snapshot m_State;
};

}  // namespace CanSim
