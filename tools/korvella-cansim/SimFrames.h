#pragma once
// Glue between the protocol codec's frames and the bus's can_frame.

#include "hardware/VQTCANV2Codec.h"
#include "korvella-cansim/Device.h"

#include <cstring>
#include <linux/can.h>

namespace CanSim {

inline can_frame ToCanFrame(const Hardware::VQTCANV2Codec::Frame& f) {
    can_frame c;
    std::memset(&c, 0, sizeof(c));
    c.can_id = static_cast<canid_t>(f.id) & CAN_SFF_MASK;
    c.can_dlc = static_cast<__u8>(f.dlc);
    std::memcpy(c.data, f.data, sizeof(f.data));
    return c;
}

inline void SendFrame(Bus& bus, const Hardware::VQTCANV2Codec::Frame& f) { bus.Send(ToCanFrame(f)); }

}  // namespace CanSim
