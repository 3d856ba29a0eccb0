#pragma once
// Wire format of the joint-module protocol v1: pure encoders and decoders of
// the frames the controller and the first-generation modules exchange. No
// I/O, no state; the driver and the simulated modules both build on it.

#include "hardware/VQTCANV2Codec.h"

#include <cstdint>
#include <string>

namespace Hardware {

class VQTCANCodec {
public:
    using Frame = VQTCANV2Codec::Frame;

    static constexpr int kStatusOffset = 1;  // canId + 1: status frame

    static constexpr uint8_t kPositionSetPoint = 0x04;
    static constexpr uint8_t kCommand = 0x01;
    static constexpr uint8_t kCmdResetError = 0x06;
    static constexpr uint8_t kCmdEnable = 0x09;
    static constexpr uint8_t kCmdDisable = 0x0A;
    static constexpr uint8_t kCmdSetZero = 0x08;
    // Raw position a module takes on "set position to zero".
    static constexpr uint16_t kZeroRaw = 0x7D00;

    static constexpr unsigned kErrMotorNotEnabled = 0x04;
    static constexpr unsigned kErrCan = 0x80;
    static constexpr unsigned kErrBusDead = 0x100;
    static constexpr unsigned kErrModuleDead = 0x200;

    // Frame counter: 0 to 99, one step per frame.
    static int NextCounter(int counter);

    // raw = setPosition * gearScale + gearZero in single precision, truncated
    // and clamped to the 16-bit field (a wrapped value would send the joint
    // to the far end); NaN gives 0.
    static uint16_t PositionRaw(float setPosition, float gearScale, float gearZero);
    static float PositionFromRaw(uint16_t raw, float gearScale, float gearZero);

    static Frame EncodePositionSetPoint(int canId, uint8_t velocityByte, uint16_t positionRaw, int counter,
                                        uint8_t outputByte);
    static Frame EncodeResetError(int canId);
    static Frame EncodeEnableMotor(int canId);
    static Frame EncodeDisableMotor(int canId);
    static Frame EncodeSetToZero(int canId);

    struct Status {
        uint8_t errorBits = 0;
        int velocity = 0;  // byte 1 - 127
        uint16_t positionRaw = 0;
        uint8_t current = 0;
        uint8_t inputs = 0;  // byte 7
        bool referenced = false;
    };
    static Frame EncodeStatus(int canId, const Status& status);
    static Status DecodeStatus(const uint8_t* data);

    // What a module makes of a controller frame on its identifier.
    struct ControllerFrame {
        enum Kind { Unknown, PositionSetPoint, Command };
        Kind kind = Unknown;
        uint8_t velocityByte = 0;
        uint16_t positionRaw = 0;
        int counter = 0;
        uint8_t outputByte = 0;
        uint8_t command = 0;
    };
    static ControllerFrame DecodeControllerFrame(int dlc, const uint8_t* data);

    // Text and short code of the module error bits; "no error" / "NoError" for none.
    static void DecodeErrorCode(unsigned code, std::string& text, std::string& shortCode);
};

}  // namespace Hardware
