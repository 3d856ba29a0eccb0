#include "korvella-cansim/SimIOModule.h"

#include "korvella-cansim/SimFrames.h"

namespace CanSim {

using Codec = Hardware::VQTCANV2Codec;

SimIOModule::SimIOModule(int canId) : m_CanId(canId) {}

void SimIOModule::OnFrame(const can_frame& frame, const timespec& time, Bus& bus) {
    (void)time;
    if (frame.can_dlc == 0 || (frame.can_id & ~CAN_SFF_MASK) != 0) return;
    if (static_cast<int>(frame.can_id) != m_CanId) return;
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_State.silent) return;
    const auto c = Codec::DecodeControllerFrame(m_CanId, frame.can_dlc, frame.data);
    if (c.kind == Codec::ControllerFrame::Command) {
        if (c.command == Codec::kCmdResetError) m_State.errorBits = 0;
        return;
    }
    if (c.kind != Codec::ControllerFrame::PositionSetPoint) return;
    ++m_State.outputFrames;
    m_State.outputs = c.outputByte;
    m_State.lastCounter = c.counter;
    SendFrame(bus, Codec::EncodeStatus(m_CanId, m_State.errorBits, 0, 0, static_cast<uint8_t>(m_State.inputs & 0x7F)));
    ++m_State.statusSent;
}

void SimIOModule::SetSilent(bool silent) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_State.silent = silent;
}

void SimIOModule::SetInputs(uint8_t bits) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_State.inputs = static_cast<uint8_t>(bits & 0x7F);
}

void SimIOModule::SetErrorBits(uint8_t bits) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_State.errorBits = bits;
}

SimIOModule::Snapshot SimIOModule::GetSnapshot() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_State;
}

}  // namespace CanSim
