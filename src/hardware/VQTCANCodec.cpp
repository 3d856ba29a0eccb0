#include "hardware/VQTCANCodec.h"

#include <cmath>

namespace Hardware {

namespace {

using Frame = VQTCANCodec::Frame;

Frame CommandFrame(int canId, uint8_t command, int dlc = 2) {
    Frame f;
    f.id = canId;
    f.dlc = dlc;
    f.data[0] = VQTCANCodec::kCommand;
    f.data[1] = command;
    return f;
}

const VQTCANV2Codec::ErrorBitText kErrorBits[] = {
    {0x01, " - brown out or watch dog", "BOWD"},
    {0x02, " - velLag", "VLAG"},
    {0x04, " - motor not enabled", "MNE"},
    {0x08, " - comm watch dog", "_COM"},
    {0x10, " - position lag", "_LAG"},
    {0x20, " - encoder error", "_ENC"},
    {0x40, " - over current", "_OC"},
    {0x80, " - CAN error", "_CAN"},
    {0x100, " - bus dead", "_BUS"},
    {0x200, " - module dead", "_DEAD"},
};

}  // namespace

int VQTCANCodec::NextCounter(int counter) { return (counter + 1) % 100; }

uint16_t VQTCANCodec::PositionRaw(float setPosition, float gearScale, float gearZero) {
    const int32_t raw = VQTCANV2Codec::SaturateToInt32(setPosition * gearScale + gearZero);
    if (raw < 0) return 0;
    if (raw > 0xFFFF) return 0xFFFF;
    return static_cast<uint16_t>(raw);
}

float VQTCANCodec::PositionFromRaw(uint16_t raw, float gearScale, float gearZero) {
    return (static_cast<float>(raw) - gearZero) / gearScale;
}

VQTCANCodec::Frame VQTCANCodec::EncodePositionSetPoint(int canId, uint8_t velocityByte, uint16_t positionRaw,
                                                      int counter, uint8_t outputByte) {
    Frame f;
    f.id = canId;
    f.dlc = 6;
    f.data[0] = kPositionSetPoint;
    f.data[1] = velocityByte;
    f.data[2] = static_cast<uint8_t>(positionRaw >> 8);
    f.data[3] = static_cast<uint8_t>(positionRaw & 0xFF);
    f.data[4] = static_cast<uint8_t>(counter);
    f.data[5] = outputByte;
    return f;
}

VQTCANCodec::Frame VQTCANCodec::EncodeResetError(int canId) { return CommandFrame(canId, kCmdResetError); }
VQTCANCodec::Frame VQTCANCodec::EncodeEnableMotor(int canId) { return CommandFrame(canId, kCmdEnable); }
VQTCANCodec::Frame VQTCANCodec::EncodeDisableMotor(int canId) { return CommandFrame(canId, kCmdDisable); }

VQTCANCodec::Frame VQTCANCodec::EncodeSetToZero(int canId) {
    Frame f = CommandFrame(canId, kCmdSetZero, 4);
    f.data[2] = static_cast<uint8_t>(kZeroRaw >> 8);
    f.data[3] = static_cast<uint8_t>(kZeroRaw & 0xFF);
    return f;
}

VQTCANCodec::Frame VQTCANCodec::EncodeStatus(int canId, const Status& s) {
    Frame f;
    f.id = canId + kStatusOffset;
    f.dlc = 8;
    f.data[0] = s.errorBits;
    const int v = s.velocity + 127;
    f.data[1] = static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
    f.data[2] = static_cast<uint8_t>(s.positionRaw >> 8);
    f.data[3] = static_cast<uint8_t>(s.positionRaw & 0xFF);
    f.data[4] = s.current;
    f.data[7] = static_cast<uint8_t>((s.inputs & 0x7F) | (s.referenced ? 0x80 : 0));
    return f;
}

VQTCANCodec::Status VQTCANCodec::DecodeStatus(const uint8_t* data) {
    Status s;
    s.errorBits = data[0];
    s.velocity = static_cast<int>(data[1]) - 127;
    s.positionRaw = static_cast<uint16_t>((data[2] << 8) | data[3]);
    s.current = data[4];
    s.inputs = data[7];
    s.referenced = (data[7] & 0x80) != 0;
    return s;
}

VQTCANCodec::ControllerFrame VQTCANCodec::DecodeControllerFrame(int dlc, const uint8_t* data) {
    ControllerFrame c;
    if (dlc >= 6 && data[0] == kPositionSetPoint) {
        c.kind = ControllerFrame::PositionSetPoint;
        c.velocityByte = data[1];
        c.positionRaw = static_cast<uint16_t>((data[2] << 8) | data[3]);
        c.counter = data[4];
        c.outputByte = data[5];
    } else if (dlc >= 2 && data[0] == kCommand) {
        c.kind = ControllerFrame::Command;
        c.command = data[1];
    }
    return c;
}

void VQTCANCodec::DecodeErrorCode(unsigned code, std::string& text, std::string& shortCode) {
    VQTCANV2Codec::DecodeErrorBits(kErrorBits, sizeof(kErrorBits) / sizeof(kErrorBits[0]), code, text, shortCode);
}

}  // namespace Hardware
