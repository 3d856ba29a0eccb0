// Value conversions between the system's values and the 16-bit registers.

#include <cctype>
#include <cmath>
#include <cstdint>
#include <limits>

#include "server/ModbusServer.h"

namespace Modbus {

int32_t ModbusServer::SaturateToInt(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 2147483647.0) return std::numeric_limits<int32_t>::max();
    if (v <= -2147483648.0) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

uint16_t ModbusServer::U16Scaled(double source, double f) {
    const double v = source * f;
    if (std::isnan(v) || v <= 0.0) return 0;
    if (v >= 4294967295.0) return 0xFFFF;
    return static_cast<uint16_t>(static_cast<uint32_t>(v) & 0xFFFFu);
}

uint16_t ModbusServer::Rounded16(double v) { return Lower16(SaturateToInt(std::round(v))); }

int ModbusServer::ToInt(unsigned short low, unsigned short high) {
    const uint32_t bits = (static_cast<uint32_t>(high) << 16) | low;
    return static_cast<int32_t>(bits);
}

void ModbusServer::StringToRegisters(const std::string& s, unsigned short* regs, unsigned short n) {
    auto at = [&s](std::size_t i) -> unsigned short {
        return i < s.size() ? static_cast<unsigned char>(s[i]) : 0;
    };
    for (std::size_t i = 0; i < n; ++i)
        regs[i] = static_cast<unsigned short>(at(2 * i) | (at(2 * i + 1) << 8));
}

std::string ModbusServer::StringFromRegisters(const unsigned short* regs, unsigned short n) {
    std::string text;
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char bytes[2] = {static_cast<unsigned char>(regs[i] & 0xFF),
                                        static_cast<unsigned char>(regs[i] >> 8)};
        for (unsigned char c : bytes) {
            if (c == 0) return text;
            if (!std::isprint(c)) return std::string();
            text.push_back(static_cast<char>(c));
        }
    }
    return text;
}

uint16_t ModbusServer::FromMotionType(MotionType type) {
    const int v = static_cast<int>(type);
    return v >= 0 && v <= 3 ? static_cast<uint16_t>(v) : 65535;
}

MotionType ModbusServer::ToMotionType(unsigned short value) {
    return value >= 1 && value <= 3 ? static_cast<MotionType>(value) : MotionTypeRobotJoint;
}

uint16_t ModbusServer::FromReplayMode(IPO::ReplayMode mode) {
    const int v = static_cast<int>(mode);
    return v >= 0 && v <= 2 ? static_cast<uint16_t>(v) : 65535;
}

IPO::ReplayMode ModbusServer::ToReplayMode(unsigned short value) {
    // 3 names no replay mode: as invalid as any other value.
    return value == 1 || value == 2 ? static_cast<IPO::ReplayMode>(value) : IPO::ReplaySingle;
}

uint16_t ModbusServer::FromRunState(IPO::RunState state) {
    switch (state) {
        case IPO::RunStateIdle:
            return 0;
        case IPO::RunStateRunning:
            return 1;
        case IPO::RunStatePaused:
            return 2;
    }
    return 65535;
}

IPO::RunState ModbusServer::ToRunState(unsigned short value) {
    if (value == 1) return IPO::RunStateRunning;
    if (value == 2) return IPO::RunStatePaused;
    return IPO::RunStateIdle;
}

uint16_t ModbusServer::FromKinematicState(int state) {
    if (state == 0 || state == 13 || state == 14 || state == 21 || state == 22 || state == 23 ||
        (state >= 30 && state <= 35) || state == 50)
        return static_cast<uint16_t>(state);
    if (state == 99) return 1;
    return 65535;
}

uint16_t ModbusServer::FromIPOStopReason(IPO::StopReason reason) {
    const int v = static_cast<int>(reason);
    if (v >= 0 && v <= 5) return static_cast<uint16_t>(v);
    if (v >= 7 && v <= 9) return static_cast<uint16_t>(94 + v);
    return 100;
}

uint16_t ModbusServer::FromOperationMode(operationMode mode) {
    const int v = static_cast<int>(mode);
    return v >= 0 && v <= 2 ? static_cast<uint16_t>(v) : 65535;
}

}  // namespace Modbus
