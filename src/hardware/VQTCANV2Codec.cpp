#include "hardware/VQTCANV2Codec.h"

#include <cmath>

namespace Hardware {

namespace {

using Frame = VQTCANV2Codec::Frame;

Frame MakeFrame(int id, int dlc) {
    Frame f;
    f.id = id;
    f.dlc = dlc;
    return f;
}

Frame CommandFrame(int canId, uint8_t command) {
    Frame f = MakeFrame(canId, 2);
    f.data[0] = VQTCANV2Codec::kCommand;
    f.data[1] = command;
    return f;
}

void PutBE32(uint8_t* p, int32_t v) {
    const uint32_t u = static_cast<uint32_t>(v);
    p[0] = static_cast<uint8_t>(u >> 24);
    p[1] = static_cast<uint8_t>(u >> 16);
    p[2] = static_cast<uint8_t>(u >> 8);
    p[3] = static_cast<uint8_t>(u);
}

void PutBE16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

int32_t GetBE32(const uint8_t* p) {
    const uint32_t u = (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
                       (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
    return static_cast<int32_t>(u);
}

uint16_t GetBE16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

const VQTCANV2Codec::ErrorBitText kErrorBits[] = {
    {0x01, " - temp", "TEMP"},
    {0x02, " - estop / low supply", "_ESTOP"},
    {0x04, " - motor not enabled", "_MNE"},
    {0x08, " - comm watch dog", "_COM"},
    {0x10, " - position lag", "_LAG"},
    {0x20, " - encoder error", "_ENC"},
    {0x40, " - over current", "_OC"},
    {0x80, " - driver/svm", "_DRV"},
    {0x100, " - bus dead", "_BUS"},
    {0x200, " - module dead", "_DEAD"},
};

}  // namespace

int VQTCANV2Codec::NextCounter(int counter) {
    return (counter + 1) % 255;
}

int32_t VQTCANV2Codec::SaturateToInt32(float v) {
    if (std::isnan(v)) return 0;
    // 2^31 is exact in float; anything at or beyond it does not fit.
    if (v >= 2147483648.0f) return INT32_MAX;
    if (v < -2147483648.0f) return INT32_MIN;
    return static_cast<int32_t>(v);
}

int32_t VQTCANV2Codec::SaturateToInt32(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 2147483647.0) return INT32_MAX;
    if (v <= -2147483648.0) return INT32_MIN;
    return static_cast<int32_t>(v);
}

int32_t VQTCANV2Codec::PositionRaw(float setPosition, float gearScale, float gearZero) {
    return SaturateToInt32(setPosition * gearScale + gearZero);
}

float VQTCANV2Codec::PositionFromRaw(int32_t raw, float gearScale, float gearZero) {
    return (static_cast<float>(raw) - gearZero) / gearScale;
}

int16_t VQTCANV2Codec::VelocityRaw(float setVelocity, float gearScale) {
    const double v = static_cast<double>(setVelocity) * static_cast<double>(gearScale);
    if (std::isnan(v)) return 0;
    if (v >= 32767.0) return INT16_MAX;
    if (v <= -32768.0) return INT16_MIN;
    return static_cast<int16_t>(v);
}

uint8_t VQTCANV2Codec::VelocityByte(float setVelocity) {
    const double v = static_cast<double>(setVelocity) / 4.0 + 128.0;
    if (std::isnan(v)) return 128;
    if (v <= 0.0) return 0;
    if (v >= 255.0) return 255;
    return static_cast<uint8_t>(v);
}

VQTCANV2Codec::Frame VQTCANV2Codec::EncodePositionSetPoint(int canId, uint8_t velocityByte, int32_t positionRaw,
                                                          int counter, uint8_t outputByte) {
    Frame f = MakeFrame(canId, 8);
    f.data[0] = kPositionSetPoint;
    f.data[1] = velocityByte;
    PutBE32(&f.data[2], positionRaw);
    f.data[6] = static_cast<uint8_t>(counter);
    f.data[7] = outputByte;
    return f;
}

VQTCANV2Codec::Frame VQTCANV2Codec::EncodeKeepAlive(int canId, int counter) {
    Frame f = MakeFrame(canId, 4);
    f.data[0] = kKeepAlive;
    f.data[3] = static_cast<uint8_t>(counter);
    return f;
}

VQTCANV2Codec::Frame VQTCANV2Codec::EncodeVelocitySetPoint(int canId, int16_t velocityRaw, int counter) {
    Frame f = MakeFrame(canId, 4);
    f.data[0] = kVelocitySetPoint;
    PutBE16(&f.data[1], static_cast<uint16_t>(velocityRaw));
    f.data[3] = static_cast<uint8_t>(counter);
    return f;
}

VQTCANV2Codec::Frame VQTCANV2Codec::EncodeDIOOutputs(int canId, int counter, uint8_t outputs) {
    Frame f = MakeFrame(canId, 8);
    f.data[0] = kPositionSetPoint;
    f.data[6] = static_cast<uint8_t>(counter);
    f.data[7] = outputs;
    return f;
}

VQTCANV2Codec::Frame VQTCANV2Codec::EncodeResetError(int canId) { return CommandFrame(canId, kCmdResetError); }
VQTCANV2Codec::Frame VQTCANV2Codec::EncodeEnableMotor(int canId) { return CommandFrame(canId, kCmdEnable); }
VQTCANV2Codec::Frame VQTCANV2Codec::EncodeDisableMotor(int canId) { return CommandFrame(canId, kCmdDisable); }
VQTCANV2Codec::Frame VQTCANV2Codec::EncodeStartReferencing(int canId) {
    return CommandFrame(canId, kCmdStartReferencing);
}
VQTCANV2Codec::Frame VQTCANV2Codec::EncodeRestart(int canId) { return CommandFrame(canId, kCmdRestart); }

VQTCANV2Codec::Frame VQTCANV2Codec::EncodeAlignMotor(int canId) {
    Frame f = CommandFrame(canId, kCmdAlign);
    f.dlc = 6;
    f.data[2] = 0x3C;
    f.data[3] = 0x96;
    f.data[4] = 0x64;
    f.data[5] = 0x32;
    return f;
}

VQTCANV2Codec::Frame VQTCANV2Codec::EncodeSetToZero(int canId) {
    Frame f = CommandFrame(canId, kCmdSetZero);
    f.dlc = 4;
    f.data[2] = 0x7D;
    f.data[3] = 0x00;
    return f;
}

VQTCANV2Codec::Frame VQTCANV2Codec::EncodeStatusLight(uint8_t red, uint8_t green, uint8_t blue) {
    Frame f = MakeFrame(kStatusLightId, 8);
    f.data[0] = kCommand;
    f.data[1] = kCmdStatusLight;
    f.data[3] = red;
    f.data[4] = green;
    f.data[5] = blue;
    return f;
}

void VQTCANV2Codec::StatusLightColour(unsigned combinedErrors, uint8_t& red, uint8_t& green, uint8_t& blue) {
    if (combinedErrors == 0 || combinedErrors == kErrBusDead) {
        red = 0;
        green = 150;
        blue = 0;
    } else if (combinedErrors == kErrMotorNotEnabled || combinedErrors == (kErrMotorNotEnabled | kErrBusDead)) {
        red = 220;
        green = 95;
        blue = 0;
    } else {
        red = 150;
        green = 0;
        blue = 0;
    }
}

VQTCANV2Codec::ControllerFrame VQTCANV2Codec::DecodeControllerFrame(int id, int dlc, const uint8_t* data) {
    ControllerFrame c;
    if (dlc < 1) return c;
    if (id == kStatusLightId) {
        if (dlc >= 6 && data[0] == kCommand && data[1] == kCmdStatusLight) {
            c.kind = ControllerFrame::StatusLight;
            c.red = data[3];
            c.green = data[4];
            c.blue = data[5];
        }
        return c;
    }
    switch (data[0]) {
    case kPositionSetPoint:
        if (dlc < 8) break;
        c.kind = ControllerFrame::PositionSetPoint;
        c.velocityByte = data[1];
        c.positionRaw = GetBE32(&data[2]);
        c.counter = data[6];
        c.outputByte = data[7];
        break;
    case kKeepAlive:
        if (dlc < 4) break;
        c.kind = ControllerFrame::KeepAlive;
        c.counter = data[3];
        break;
    case kVelocitySetPoint:
        if (dlc < 4) break;
        c.kind = ControllerFrame::VelocitySetPoint;
        c.velocityRaw = static_cast<int16_t>(GetBE16(&data[1]));
        c.counter = data[3];
        break;
    case kCommand:
        if (dlc < 2) break;
        c.kind = ControllerFrame::Command;
        c.command = data[1];
        break;
    default:
        break;
    }
    return c;
}

VQTCANV2Codec::Frame VQTCANV2Codec::EncodeStatus(int canId, uint8_t errorBits, int32_t positionRaw,
                                                uint16_t currentRaw, uint8_t inputs) {
    Frame f = MakeFrame(canId + kStatusOffset, 8);
    f.data[0] = errorBits;
    PutBE32(&f.data[1], positionRaw);
    PutBE16(&f.data[5], currentRaw);
    f.data[7] = inputs;
    return f;
}

VQTCANV2Codec::Frame VQTCANV2Codec::EncodeTemperature(int canId, uint16_t firstRaw, uint16_t secondRaw) {
    Frame f = MakeFrame(canId + kTemperatureOffset, 8);
    f.data[0] = kTemperature;
    PutBE16(&f.data[4], secondRaw);
    PutBE16(&f.data[6], firstRaw);
    return f;
}

VQTCANV2Codec::Frame VQTCANV2Codec::EncodeSupply(uint16_t supplyRaw, bool firstCircuitOn, bool secondCircuitOn) {
    Frame f = MakeFrame(kSupplyId, 8);
    PutBE16(&f.data[2], supplyRaw);
    f.data[6] = firstCircuitOn ? 0x80 : 0x00;
    f.data[7] = secondCircuitOn ? 0x80 : 0x00;
    return f;
}

VQTCANV2Codec::Frame VQTCANV2Codec::EncodeShutdownRequest(uint8_t stage) {
    Frame f = MakeFrame(kShutdownId, 8);
    f.data[0] = 0x01;
    f.data[1] = stage;
    f.data[2] = 0x71;
    return f;
}

VQTCANV2Codec::Frame VQTCANV2Codec::EncodeStartupMessage(int id, uint8_t hardwareId, uint16_t firmwareVersion) {
    Frame f = MakeFrame(id, 8);
    f.data[0] = 0x01;
    f.data[1] = 0x02;
    f.data[2] = 0x03;
    f.data[3] = 0x04;
    f.data[4] = 0x00;
    f.data[5] = hardwareId;
    PutBE16(&f.data[6], firmwareVersion);
    return f;
}

VQTCANV2Codec::Frame VQTCANV2Codec::EncodeErrorEvent(int id, uint8_t code, uint16_t word1, uint16_t word2) {
    Frame f = MakeFrame(id, 8);
    f.data[0] = kErrorEvent;
    f.data[2] = 0x00;
    f.data[3] = code;
    PutBE16(&f.data[4], word1);
    PutBE16(&f.data[6], word2);
    return f;
}

VQTCANV2Codec::Status VQTCANV2Codec::DecodeStatus(const uint8_t* data) {
    Status s;
    s.errorBits = data[0];
    s.positionRaw = GetBE32(&data[1]);
    s.shortCurrentBit = (data[5] & 0x80) != 0;
    s.inputs = data[7];
    s.referenced = (data[7] & 0x80) != 0;
    s.aligned = (data[7] & 0x40) != 0;
    return s;
}

int VQTCANV2Codec::CurrentRaw(const uint8_t* data, bool shortCurrent) {
    return shortCurrent ? data[6] : data[5] * 256 + data[6];
}

bool VQTCANV2Codec::DecodeTemperature(const uint8_t* data, float tempScale, float tempZero, float& first,
                                      float& second) {
    if (data[0] != kTemperature) return false;
    first = static_cast<float>(data[6] * 256 + data[7]) * tempScale + tempZero;
    second = static_cast<float>(data[4] * 256 + data[5]) * tempScale + tempZero;
    return true;
}

VQTCANV2Codec::Supply VQTCANV2Codec::DecodeSupply(const uint8_t* data) {
    Supply s;
    s.supplyVoltage = (data[2] * 256 + data[3]) * 10;
    s.stateBits = ((data[6] & 0x80) ? 1 : 0) + ((data[7] & 0x80) ? 2 : 0);
    return s;
}

bool VQTCANV2Codec::DecodeShutdownRequest(const uint8_t* data, uint8_t& stage) {
    if (data[0] != 0x01 || data[2] != 0x71) return false;
    stage = data[1];
    return true;
}

bool VQTCANV2Codec::IsStartupMessage(const uint8_t* data) {
    return data[0] == 0x01 && data[1] == 0x02 && data[2] == 0x03 && data[3] == 0x04 && data[4] == 0x00;
}

uint8_t VQTCANV2Codec::StartupHardwareId(const uint8_t* data) { return data[5]; }

uint16_t VQTCANV2Codec::StartupFirmwareVersion(const uint8_t* data) { return GetBE16(&data[6]); }

const char* VQTCANV2Codec::HardwareIdLabel(uint8_t hardwareId) {
    switch (hardwareId) {
    case 0x00: return "generic module";
    case 0x0A: return "arm base module";
    case 0x0D: return "mobile platform interface board v2";
    case 0x50: return "rail closed-loop brushless drive";
    case 0x51: return "rail closed-loop stepper drive";
    case 0x52: return "on-axis closed-loop brushless drive";
    case 0x53: return "rail closed-loop DC drive";
    case 0x89: return "boot loader dsPIC33EP128GM706";
    case 0x8A: return "boot loader dsPIC33EP256GM706";
    case 0x8B: return "boot loader dsPIC33EP128MC506";
    case 0x8C: return "boot loader dsPIC33EP256MC506";
    default: return "unknown";
    }
}

bool VQTCANV2Codec::DecodeErrorEvent(const uint8_t* data, ErrorEvent& event) {
    if (data[0] != kErrorEvent || data[2] != 0x00) return false;
    event.code = data[3];
    event.word1 = GetBE16(&data[4]);
    event.word2 = GetBE16(&data[6]);
    return true;
}

const char* VQTCANV2Codec::ErrorEventFormat(uint8_t code) {
    switch (code) {
    case 0x70: return "VQTCAN: I2TEvent on ID 0x%X (axis %d?)! actIntegrator: %d - Max: %d";
    case 0x71: return "VQTCAN: TempBoard on ID 0x%X (axis %d?)! acttemp : %d - Max: %d";
    case 0x72: return "VQTCAN: TempMotor on ID 0x%X (axis %d?)! acttemp : %d - Max: %d";
    case 0x73: return "VQTCAN: SupplyVoltage on ID 0x%X (axis %d?)! actSupplyVoltage : %d - VoltageMin: %d";
    case 0x74: return "VQTCAN: Vel on ID 0x%X (axis %d?)! actVel  : %d - MaxVel: %d";
    case 0x75:
        return "VQTCAN: OvercurrentEvent on ID 0x%X (axis %d?)! AllowedCurrent: %d mA - MeasuredCurrent: %d mA";
    case 0x76: return "VQTCAN: ComWDT on ID 0x%X (axis %d?)! 0: %d - 0: %d";
    case 0x77: return "VQTCAN: LAG on ID 0x%X (axis %d?)! actPos : %d - cmdPos: %d";
    case 0x78: return "VQTCAN: Encoder on ID 0x%X (axis %d?)! actPass : %d - 0x7E: %d";
    case 0x79: return "VQTCAN: DriverLowAlign on ID 0x%X (axis %d?)! actCurrent : %d - threshold: %d";
    default: return nullptr;
    }
}

const char* VQTCANV2Codec::UnknownErrorEventFormat() {
    return "VQTCAN: unknown error message %d from ID 0x%X (axis %d?)! word1: %d - word2: %d";
}

const char* VQTCANV2Codec::RepeatedErrorEventFormat() {
    return "VQTCAN: unknown error message %d from ID 0x%X (axis %d?)! word1: %d - word2: %d "
           "(repeated %d times, omitting further messages)";
}

bool VQTCANV2Codec::LogRepeatedEvent(int count) {
    if (count <= 9) return true;
    if (count <= 99) return count % 10 == 0;
    return count % 100 == 0;
}

int VQTCANV2Codec::AxisNumber(int id) { return (id & ~3) / 16; }

bool VQTCANV2Codec::IsMasterCommand(uint8_t byte0) {
    return byte0 == 0x14 || byte0 == 0xBB || byte0 == 0xFE;
}

void VQTCANV2Codec::DecodeErrorCode(unsigned code, std::string& text, std::string& shortCode) {
    DecodeErrorBits(kErrorBits, sizeof(kErrorBits) / sizeof(kErrorBits[0]), code, text, shortCode);
}

void VQTCANV2Codec::DecodeErrorBits(const ErrorBitText* table, size_t count, unsigned code, std::string& text,
                                    std::string& shortCode) {
    text.clear();
    shortCode.clear();
    for (size_t i = 0; i < count; ++i) {
        if (code & table[i].bit) {
            text += table[i].text;
            shortCode += table[i].shortCode;
        }
    }
    if (text.empty()) {
        text = "no error";
        shortCode = "NoError";
    }
}

}  // namespace Hardware
