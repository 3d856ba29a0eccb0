#include "korvella-cansim/FrameFormat.h"

#include <algorithm>
#include <cstdio>

namespace CanSim {

std::string FormatFrame(const can_frame& frame) {
    char buf[64];
    int n;
    if (frame.can_id & CAN_EFF_FLAG) {
        n = std::snprintf(buf, sizeof(buf), "%08X#", static_cast<unsigned>(frame.can_id & CAN_EFF_MASK));
    } else {
        n = std::snprintf(buf, sizeof(buf), "%03X#", static_cast<unsigned>(frame.can_id & CAN_SFF_MASK));
    }
    std::string text(buf, static_cast<size_t>(n));
    if (frame.can_id & CAN_RTR_FLAG) {
        text += "R";
        return text;
    }
    const int len = std::min<int>(frame.can_dlc, CAN_MAX_DLEN);
    for (int i = 0; i < len; ++i) {
        std::snprintf(buf, sizeof(buf), "%02X", frame.data[i]);
        text += buf;
    }
    return text;
}

std::string FormatLogLine(const timespec& time, const can_frame& frame) {
    char buf[48];
    std::snprintf(buf, sizeof(buf), "%lld.%06ld ", static_cast<long long>(time.tv_sec), time.tv_nsec / 1000);
    return buf + FormatFrame(frame);
}

}  // namespace CanSim
