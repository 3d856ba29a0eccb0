#pragma once
// Text form of frames for the hub's frame log.

#include <linux/can.h>
#include <string>
#include <time.h>

namespace CanSim {

// "ID#DATA" in upper-case hex: three digits for a standard identifier, eight
// for an extended one, "R" as data of a remote frame.
std::string FormatFrame(const can_frame& frame);

// One frame-log line without the newline: "<seconds>.<microseconds> ID#DATA".
std::string FormatLogLine(const timespec& time, const can_frame& frame);

// A frame the bus carries: classic CAN, at most 8 data bytes.
inline bool IsValidFrame(const can_frame& frame) { return frame.can_dlc <= CAN_MAX_DLEN; }

}  // namespace CanSim
