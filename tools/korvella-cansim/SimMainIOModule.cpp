#include "korvella-cansim/SimMainIOModule.h"

#include "korvella-cansim/SimFrames.h"

namespace CanSim {

using Codec = Hardware::VQTCANV2Codec;

SimMainIOModule::SimMainIOModule() = default;

int64_t SimMainIOModule::Micros(const timespec& t) {
    return static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

void SimMainIOModule::OnFrame(const can_frame& frame, const timespec& time, Bus& bus) {
    (void)time;
    (void)bus;
    if (frame.can_dlc == 0 || frame.can_id != static_cast<canid_t>(Codec::kStatusLightId)) return;
    const auto c = Codec::DecodeControllerFrame(Codec::kStatusLightId, frame.can_dlc, frame.data);
    if (c.kind != Codec::ControllerFrame::StatusLight) return;
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_State.silent) return;
    m_State.red = c.red;
    m_State.green = c.green;
    m_State.blue = c.blue;
    ++m_State.statusLightFrames;
}

void SimMainIOModule::OnTick(const timespec& now, Bus& bus) {
    const int64_t nowUs = Micros(now);
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_State.silent) return;
    if (nowUs >= m_NextSupplyUs) {
        m_NextSupplyUs = nowUs + static_cast<int64_t>(m_SupplyPeriodMs) * 1000;
        SendFrame(bus, Codec::EncodeSupply(m_State.supplyRaw, m_State.firstCircuitOn, m_State.secondCircuitOn));
        ++m_State.supplyFramesSent;
    }
    if (m_ShutdownRequested) {
        m_ShutdownRequested = false;
        SendFrame(bus, Codec::EncodeShutdownRequest(Codec::kShutdownStage1));
        ++m_State.shutdownFramesSent;
        m_SecondStageUs = nowUs + static_cast<int64_t>(m_SecondStageDelayMs) * 1000;
    }
    if (m_SecondStageUs != 0 && nowUs >= m_SecondStageUs) {
        m_SecondStageUs = 0;
        SendFrame(bus, Codec::EncodeShutdownRequest(Codec::kShutdownStage2));
        ++m_State.shutdownFramesSent;
    }
    if (m_ExtraStage >= 0) {
        SendFrame(bus, Codec::EncodeShutdownRequest(static_cast<uint8_t>(m_ExtraStage)));
        ++m_State.shutdownFramesSent;
        m_ExtraStage = -1;
    }
}

void SimMainIOModule::SetSilent(bool silent) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_State.silent = silent;
}

void SimMainIOModule::SetSupply(uint16_t raw, bool firstCircuitOn, bool secondCircuitOn) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_State.supplyRaw = raw;
    m_State.firstCircuitOn = firstCircuitOn;
    m_State.secondCircuitOn = secondCircuitOn;
    m_NextSupplyUs = 0;  // report the change at once
}

void SimMainIOModule::SetSupplyPeriodMs(int ms) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_SupplyPeriodMs = ms > 0 ? ms : 1;
}

void SimMainIOModule::RequestShutdown(int secondStageDelayMs) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_ShutdownRequested = true;
    m_SecondStageDelayMs = secondStageDelayMs < 0 ? 0 : secondStageDelayMs;
}

void SimMainIOModule::SendShutdownStage(uint8_t stage) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_ExtraStage = stage;
}

SimMainIOModule::Snapshot SimMainIOModule::GetSnapshot() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_State;
}

}  // namespace CanSim
