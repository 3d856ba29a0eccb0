#pragma once
// Wire format of the joint-module protocol v2/v3: pure encoders and decoders
// of every frame the controller and the modules exchange. No I/O, no state;
// the driver and the simulated modules both build on it.

#include <cstddef>
#include <cstdint>
#include <string>

namespace Hardware {

class VQTCANV2Codec {
public:
    // One standard 11-bit CAN frame.
    struct Frame {
        int id = 0;
        int dlc = 0;
        uint8_t data[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    };

    // Identifiers outside the module's own canId range.
    static constexpr int kStatusOffset = 1;       // canId + 1: status frame
    static constexpr int kTemperatureOffset = 3;  // canId + 3: temperature frame
    static constexpr int kStatusLightId = 0x01;
    static constexpr int kSupplyId = 0x06;
    static constexpr int kShutdownId = 0xFF;

    // First data byte of the frames.
    static constexpr uint8_t kPositionSetPoint = 0x14;
    static constexpr uint8_t kKeepAlive = 0x16;
    static constexpr uint8_t kVelocitySetPoint = 0x25;
    static constexpr uint8_t kCommand = 0x01;
    static constexpr uint8_t kTemperature = 0x12;
    static constexpr uint8_t kErrorEvent = 0x07;

    // Second byte of a command frame (first byte 0x01).
    static constexpr uint8_t kCmdSetZero = 0x08;
    static constexpr uint8_t kCmdResetError = 0x06;
    static constexpr uint8_t kCmdEnable = 0x09;
    static constexpr uint8_t kCmdDisable = 0x0A;
    static constexpr uint8_t kCmdStartReferencing = 0x0B;
    static constexpr uint8_t kCmdAlign = 0x0C;
    static constexpr uint8_t kCmdRestart = 0xCF;
    static constexpr uint8_t kCmdStatusLight = 0x30;

    // Shutdown request stages (byte 1 of the 0xFF frame).
    static constexpr uint8_t kShutdownStage1 = 0x0C;
    static constexpr uint8_t kShutdownStage2 = 0x29;

    // Module error bits; the last two are set by the driver only.
    static constexpr unsigned kErrTemp = 0x01;
    static constexpr unsigned kErrEstop = 0x02;
    static constexpr unsigned kErrMotorNotEnabled = 0x04;
    static constexpr unsigned kErrComWatchdog = 0x08;
    static constexpr unsigned kErrLag = 0x10;
    static constexpr unsigned kErrEncoder = 0x20;
    static constexpr unsigned kErrOverCurrent = 0x40;
    static constexpr unsigned kErrDriver = 0x80;
    static constexpr unsigned kErrBusDead = 0x100;
    static constexpr unsigned kErrModuleDead = 0x200;

    // Frame counter: 0 to 254, shared by all set-point frames of one cycle.
    static int NextCounter(int counter);

    // ---- Unit conversions (clamped to the field, never undefined) ----
    // raw = setPosition * gearScale + gearZero in single precision, truncated;
    // out-of-range values saturate, NaN gives 0.
    // Float to int32, saturated at the type's limits; NaN gives 0.
    static int32_t SaturateToInt32(float v);
    static int32_t SaturateToInt32(double v);
    static int32_t PositionRaw(float setPosition, float gearScale, float gearZero);
    static float PositionFromRaw(int32_t raw, float gearScale, float gearZero);
    // raw = setVelocity * gearScale in double precision, truncated, saturated
    // to 16 bits; NaN gives 0.
    static int16_t VelocityRaw(float setVelocity, float gearScale);
    // setVelocity / 4 + 128, saturated to 0..255; NaN gives 128 (no velocity).
    static uint8_t VelocityByte(float setVelocity);

    // ---- Frames sent by the controller ----
    static Frame EncodePositionSetPoint(int canId, uint8_t velocityByte, int32_t positionRaw, int counter,
                                        uint8_t outputByte);
    static Frame EncodeKeepAlive(int canId, int counter);
    static Frame EncodeVelocitySetPoint(int canId, int16_t velocityRaw, int counter);
    static Frame EncodeDIOOutputs(int canId, int counter, uint8_t outputs);
    static Frame EncodeResetError(int canId);
    static Frame EncodeEnableMotor(int canId);
    static Frame EncodeDisableMotor(int canId);
    static Frame EncodeStartReferencing(int canId);
    static Frame EncodeAlignMotor(int canId);
    static Frame EncodeSetToZero(int canId);
    static Frame EncodeRestart(int canId);
    static Frame EncodeStatusLight(uint8_t red, uint8_t green, uint8_t blue);
    // Colour of the status light for the combined error bits of all modules.
    static void StatusLightColour(unsigned combinedErrors, uint8_t& red, uint8_t& green, uint8_t& blue);

    // What a module (or the main I/O module) makes of a controller frame.
    struct ControllerFrame {
        enum Kind { Unknown, PositionSetPoint, KeepAlive, VelocitySetPoint, Command, StatusLight };
        Kind kind = Unknown;
        uint8_t velocityByte = 0;   // position set-point
        int32_t positionRaw = 0;    // position set-point
        int16_t velocityRaw = 0;    // velocity set-point
        int counter = 0;            // set-points and keep-alive
        uint8_t outputByte = 0;     // position set-point / DIO outputs
        uint8_t command = 0;        // command: second byte
        uint8_t red = 0, green = 0, blue = 0;  // status light
    };
    static ControllerFrame DecodeControllerFrame(int id, int dlc, const uint8_t* data);

    // ---- Frames sent by the modules ----
    static Frame EncodeStatus(int canId, uint8_t errorBits, int32_t positionRaw, uint16_t currentRaw,
                              uint8_t inputs);
    static Frame EncodeTemperature(int canId, uint16_t firstRaw, uint16_t secondRaw);
    static Frame EncodeSupply(uint16_t supplyRaw, bool firstCircuitOn, bool secondCircuitOn);
    static Frame EncodeShutdownRequest(uint8_t stage);
    static Frame EncodeStartupMessage(int id, uint8_t hardwareId, uint16_t firmwareVersion);
    static Frame EncodeErrorEvent(int id, uint8_t code, uint16_t word1, uint16_t word2);

    struct Status {
        uint8_t errorBits = 0;
        int32_t positionRaw = 0;
        bool shortCurrentBit = false;  // byte 5 bit 7: the module sends a one-byte current
        uint8_t inputs = 0;
        bool referenced = false;
        bool aligned = false;
    };
    static Status DecodeStatus(const uint8_t* data);
    // Raw current: byte 6 alone once the module has switched to one-byte currents.
    static int CurrentRaw(const uint8_t* data, bool shortCurrent);

    // False (values untouched) unless byte 0 marks a temperature frame.
    static bool DecodeTemperature(const uint8_t* data, float tempScale, float tempZero, float& first,
                                  float& second);

    struct Supply {
        int supplyVoltage = 0;  // raw * 10
        int stateBits = 0;      // 1: first circuit on, 2: second circuit on
    };
    static Supply DecodeSupply(const uint8_t* data);

    // True for a well-formed shutdown request; stage is byte 1.
    static bool DecodeShutdownRequest(const uint8_t* data, uint8_t& stage);

    static bool IsStartupMessage(const uint8_t* data);
    static uint8_t StartupHardwareId(const uint8_t* data);
    static uint16_t StartupFirmwareVersion(const uint8_t* data);
    static const char* HardwareIdLabel(uint8_t hardwareId);

    struct ErrorEvent {
        uint8_t code = 0;
        uint16_t word1 = 0;
        uint16_t word2 = 0;
    };
    // True for an error event with byte 2 = 0 (the only ones acted upon).
    static bool DecodeErrorEvent(const uint8_t* data, ErrorEvent& event);
    // Log format of a known event code (id, axis, word1, word2), nullptr for others.
    static const char* ErrorEventFormat(uint8_t code);
    static const char* UnknownErrorEventFormat();
    static const char* RepeatedErrorEventFormat();
    // Which repeats of a throttled event get logged.
    static bool LogRepeatedEvent(int count);

    // Axis number printed with bus events: identifier without its two low bits, / 16.
    static int AxisNumber(int id);
    // Byte 0 values that only a bus master sends to a module.
    static bool IsMasterCommand(uint8_t byte0);

    // Text and short code of module error bits; "no error" / "NoError" for none.
    static void DecodeErrorCode(unsigned code, std::string& text, std::string& shortCode);

    // One error bit of a protocol with its text and short code.
    struct ErrorBitText {
        unsigned bit;
        const char* text;
        const char* shortCode;
    };
    // The texts and short codes of the set bits in table order; "no error" / "NoError" for none.
    static void DecodeErrorBits(const ErrorBitText* table, size_t count, unsigned code, std::string& text,
                                std::string& shortCode);
};

}  // namespace Hardware
