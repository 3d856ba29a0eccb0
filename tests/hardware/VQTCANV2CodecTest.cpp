// Byte-exact frames of the joint-module protocol v2/v3.

#include "hardware/VQTCANV2Codec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

using Hardware::VQTCANV2Codec;
using Frame = VQTCANV2Codec::Frame;

namespace {

std::vector<int> Bytes(const Frame& f) { return std::vector<int>(f.data, f.data + f.dlc); }

struct FrameCase {
    const char* name;
    Frame frame;
    int id;
    std::vector<int> bytes;
};

}  // namespace

TEST(VQTCANV2Codec, ControllerFramesByteForByte) {
    const uint8_t velByte = VQTCANV2Codec::VelocityByte(0.0f);
    const FrameCase cases[] = {
        {"position +10",
         VQTCANV2Codec::EncodePositionSetPoint(0x10, velByte, VQTCANV2Codec::PositionRaw(10.0f, 190.0f, 0.0f), 7, 0x05),
         0x10, {0x14, 0x80, 0x00, 0x00, 0x07, 0x6C, 0x07, 0x05}},
        {"position -10",
         VQTCANV2Codec::EncodePositionSetPoint(0x20, velByte, VQTCANV2Codec::PositionRaw(-10.0f, 190.0f, 0.0f), 254, 0),
         0x20, {0x14, 0x80, 0xFF, 0xFF, 0xF8, 0x94, 0xFE, 0x00}},
        {"keep-alive", VQTCANV2Codec::EncodeKeepAlive(0x30, 42), 0x30, {0x16, 0x00, 0x00, 42}},
        {"velocity 50", VQTCANV2Codec::EncodeVelocitySetPoint(0x70, VQTCANV2Codec::VelocityRaw(50.0f, 100.0f), 3),
         0x70, {0x25, 0x13, 0x88, 0x03}},
        {"velocity -1", VQTCANV2Codec::EncodeVelocitySetPoint(0x70, VQTCANV2Codec::VelocityRaw(-1.0f, 1.0f), 0),
         0x70, {0x25, 0xFF, 0xFF, 0x00}},
        {"DIO outputs", VQTCANV2Codec::EncodeDIOOutputs(0x90, 11, 0x41), 0x90, {0x14, 0, 0, 0, 0, 0, 11, 0x41}},
        {"reset error", VQTCANV2Codec::EncodeResetError(0x10), 0x10, {0x01, 0x06}},
        {"enable", VQTCANV2Codec::EncodeEnableMotor(0x10), 0x10, {0x01, 0x09}},
        {"disable", VQTCANV2Codec::EncodeDisableMotor(0x10), 0x10, {0x01, 0x0A}},
        {"reference", VQTCANV2Codec::EncodeStartReferencing(0x40), 0x40, {0x01, 0x0B}},
        {"align", VQTCANV2Codec::EncodeAlignMotor(0x50), 0x50, {0x01, 0x0C, 0x3C, 0x96, 0x64, 0x32}},
        {"set to zero", VQTCANV2Codec::EncodeSetToZero(0x60), 0x60, {0x01, 0x08, 0x7D, 0x00}},
        {"restart", VQTCANV2Codec::EncodeRestart(0x60), 0x60, {0x01, 0xCF}},
        {"status light", VQTCANV2Codec::EncodeStatusLight(220, 95, 0), 0x01, {0x01, 0x30, 0x00, 220, 95, 0, 0, 0}},
    };
    for (const FrameCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.frame.id, c.id);
        EXPECT_EQ(Bytes(c.frame), c.bytes);
    }
}

TEST(VQTCANV2Codec, ModuleFramesByteForByte) {
    const FrameCase cases[] = {
        {"status", VQTCANV2Codec::EncodeStatus(0x20, 0x04, -1900, 0x0123, 0xC3), 0x21,
         {0x04, 0xFF, 0xFF, 0xF8, 0x94, 0x01, 0x23, 0xC3}},
        {"temperature", VQTCANV2Codec::EncodeTemperature(0x20, 0x00A0, 0x0102), 0x23,
         {0x12, 0, 0, 0, 0x01, 0x02, 0x00, 0xA0}},
        {"supply", VQTCANV2Codec::EncodeSupply(2400, true, false), 0x06, {0, 0, 0x09, 0x60, 0, 0, 0x80, 0x00}},
        {"shutdown 1", VQTCANV2Codec::EncodeShutdownRequest(0x0C), 0xFF, {0x01, 0x0C, 0x71, 0, 0, 0, 0, 0}},
        {"shutdown 2", VQTCANV2Codec::EncodeShutdownRequest(0x29), 0xFF, {0x01, 0x29, 0x71, 0, 0, 0, 0, 0}},
        {"start-up", VQTCANV2Codec::EncodeStartupMessage(0x31, 0x52, 0x0203), 0x31,
         {0x01, 0x02, 0x03, 0x04, 0x00, 0x52, 0x02, 0x03}},
        {"error event", VQTCANV2Codec::EncodeErrorEvent(0x21, 0x75, 3000, 4500), 0x21,
         {0x07, 0x00, 0x00, 0x75, 0x0B, 0xB8, 0x11, 0x94}},
    };
    for (const FrameCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.frame.id, c.id);
        EXPECT_EQ(Bytes(c.frame), c.bytes);
    }
}

TEST(VQTCANV2Codec, ControllerFramesDecodeBack) {
    Frame p = VQTCANV2Codec::EncodePositionSetPoint(0x10, 131, -123456, 200, 0x81);
    auto c = VQTCANV2Codec::DecodeControllerFrame(p.id, p.dlc, p.data);
    EXPECT_EQ(c.kind, VQTCANV2Codec::ControllerFrame::PositionSetPoint);
    EXPECT_EQ(c.velocityByte, 131);
    EXPECT_EQ(c.positionRaw, -123456);
    EXPECT_EQ(c.counter, 200);
    EXPECT_EQ(c.outputByte, 0x81);

    Frame v = VQTCANV2Codec::EncodeVelocitySetPoint(0x70, -5000, 9);
    c = VQTCANV2Codec::DecodeControllerFrame(v.id, v.dlc, v.data);
    EXPECT_EQ(c.kind, VQTCANV2Codec::ControllerFrame::VelocitySetPoint);
    EXPECT_EQ(c.velocityRaw, -5000);
    EXPECT_EQ(c.counter, 9);

    Frame k = VQTCANV2Codec::EncodeKeepAlive(0x30, 17);
    c = VQTCANV2Codec::DecodeControllerFrame(k.id, k.dlc, k.data);
    EXPECT_EQ(c.kind, VQTCANV2Codec::ControllerFrame::KeepAlive);
    EXPECT_EQ(c.counter, 17);

    Frame a = VQTCANV2Codec::EncodeAlignMotor(0x50);
    c = VQTCANV2Codec::DecodeControllerFrame(a.id, a.dlc, a.data);
    EXPECT_EQ(c.kind, VQTCANV2Codec::ControllerFrame::Command);
    EXPECT_EQ(c.command, VQTCANV2Codec::kCmdAlign);

    Frame l = VQTCANV2Codec::EncodeStatusLight(150, 0, 0);
    c = VQTCANV2Codec::DecodeControllerFrame(l.id, l.dlc, l.data);
    EXPECT_EQ(c.kind, VQTCANV2Codec::ControllerFrame::StatusLight);
    EXPECT_EQ(c.red, 150);

    // Truncated frames are not taken for set-points.
    c = VQTCANV2Codec::DecodeControllerFrame(0x10, 3, p.data);
    EXPECT_EQ(c.kind, VQTCANV2Codec::ControllerFrame::Unknown);
}

TEST(VQTCANV2Codec, StatusDecoding) {
    Frame f = VQTCANV2Codec::EncodeStatus(0x10, 0x44, 1900, 0x0203, 0x80 | 0x40 | 0x05);
    auto s = VQTCANV2Codec::DecodeStatus(f.data);
    EXPECT_EQ(s.errorBits, 0x44);
    EXPECT_EQ(s.positionRaw, 1900);
    EXPECT_FALSE(s.shortCurrentBit);
    EXPECT_EQ(s.inputs, 0xC5);
    EXPECT_TRUE(s.referenced);
    EXPECT_TRUE(s.aligned);
    EXPECT_EQ(VQTCANV2Codec::CurrentRaw(f.data, false), 0x0203);
    EXPECT_EQ(VQTCANV2Codec::CurrentRaw(f.data, true), 0x03);
    EXPECT_FLOAT_EQ(VQTCANV2Codec::PositionFromRaw(s.positionRaw, 190.0f, 0.0f), 10.0f);

    Frame shortCurrent = VQTCANV2Codec::EncodeStatus(0x10, 0, 0, 0x8012, 0);
    EXPECT_TRUE(VQTCANV2Codec::DecodeStatus(shortCurrent.data).shortCurrentBit);
}

TEST(VQTCANV2Codec, TemperatureSupplyShutdownDecoding) {
    float t1 = 5.0f, t2 = 5.0f;
    Frame t = VQTCANV2Codec::EncodeTemperature(0x10, 0, 160);
    ASSERT_TRUE(VQTCANV2Codec::DecodeTemperature(t.data, 0.3125f, -25.6f, t1, t2));
    EXPECT_FLOAT_EQ(t1, -25.6f);  // raw 0
    EXPECT_NEAR(t2, 24.4f, 1e-4);
    uint8_t notTemp[8] = {0x13, 0, 0, 0, 0, 0, 0, 0};
    t1 = 5.0f;
    EXPECT_FALSE(VQTCANV2Codec::DecodeTemperature(notTemp, 0.3125f, -25.6f, t1, t2));
    EXPECT_FLOAT_EQ(t1, 5.0f);

    Frame s = VQTCANV2Codec::EncodeSupply(2400, false, true);
    auto sup = VQTCANV2Codec::DecodeSupply(s.data);
    EXPECT_EQ(sup.supplyVoltage, 24000);
    EXPECT_EQ(sup.stateBits, 2);

    uint8_t stage = 0;
    Frame r = VQTCANV2Codec::EncodeShutdownRequest(0x29);
    ASSERT_TRUE(VQTCANV2Codec::DecodeShutdownRequest(r.data, stage));
    EXPECT_EQ(stage, 0x29);
    r.data[2] = 0x70;
    EXPECT_FALSE(VQTCANV2Codec::DecodeShutdownRequest(r.data, stage));
}

TEST(VQTCANV2Codec, StartupAndErrorEvents) {
    Frame st = VQTCANV2Codec::EncodeStartupMessage(0x21, 0x8C, 0x1234);
    ASSERT_TRUE(VQTCANV2Codec::IsStartupMessage(st.data));
    EXPECT_EQ(VQTCANV2Codec::StartupHardwareId(st.data), 0x8C);
    EXPECT_EQ(VQTCANV2Codec::StartupFirmwareVersion(st.data), 0x1234);
    EXPECT_STREQ(VQTCANV2Codec::HardwareIdLabel(0x77), "unknown");
    EXPECT_STRNE(VQTCANV2Codec::HardwareIdLabel(0x52), "unknown");

    VQTCANV2Codec::ErrorEvent e;
    Frame ev = VQTCANV2Codec::EncodeErrorEvent(0x21, 0x55, 1, 65535);
    ASSERT_TRUE(VQTCANV2Codec::DecodeErrorEvent(ev.data, e));
    EXPECT_EQ(e.code, 0x55);
    EXPECT_EQ(e.word1, 1);
    EXPECT_EQ(e.word2, 65535);
    ev.data[2] = 1;
    EXPECT_FALSE(VQTCANV2Codec::DecodeErrorEvent(ev.data, e));

    for (int code = 0x70; code <= 0x79; ++code) EXPECT_NE(VQTCANV2Codec::ErrorEventFormat(code), nullptr) << code;
    EXPECT_EQ(VQTCANV2Codec::ErrorEventFormat(0x6F), nullptr);
    EXPECT_EQ(VQTCANV2Codec::ErrorEventFormat(0x7A), nullptr);
    EXPECT_EQ(VQTCANV2Codec::AxisNumber(0x21), 2);
    EXPECT_EQ(VQTCANV2Codec::AxisNumber(0x13), 1);
}

TEST(VQTCANV2Codec, RepeatThrottleSchedule) {
    std::vector<int> logged;
    for (int count = 2; count <= 1000; ++count)
        if (VQTCANV2Codec::LogRepeatedEvent(count)) logged.push_back(count);
    std::vector<int> expected = {2, 3, 4, 5, 6, 7, 8, 9, 10, 20, 30, 40, 50, 60, 70, 80, 90, 100,
                                 200, 300, 400, 500, 600, 700, 800, 900, 1000};
    EXPECT_EQ(logged, expected);
}

TEST(VQTCANV2Codec, CounterWrapsAt255) {
    EXPECT_EQ(VQTCANV2Codec::NextCounter(253), 254);
    EXPECT_EQ(VQTCANV2Codec::NextCounter(254), 0);
    EXPECT_EQ(VQTCANV2Codec::NextCounter(0), 1);
}

TEST(VQTCANV2Codec, ConversionsSaturateInsteadOfWrapping) {
    struct PosCase { float set, scale, zero; int32_t raw; };
    const PosCase pos[] = {
        {10.0f, 190.0f, 0.0f, 1900},
        {-10.0f, 190.0f, 0.0f, -1900},
        {0.5f, 3.0f, 0.0f, 1},            // truncated toward zero
        {-0.5f, 3.0f, 0.0f, -1},
        {1e9f, 190.0f, 0.0f, INT32_MAX},
        {-1e9f, 190.0f, 0.0f, INT32_MIN},
        {std::numeric_limits<float>::infinity(), 1.0f, 0.0f, INT32_MAX},
        {std::nanf(""), 1.0f, 0.0f, 0},
    };
    for (const PosCase& c : pos) EXPECT_EQ(VQTCANV2Codec::PositionRaw(c.set, c.scale, c.zero), c.raw) << c.set;

    struct VelCase { float set, scale; int16_t raw; };
    const VelCase vel[] = {
        {50.0f, 100.0f, 5000}, {1000.0f, 100.0f, INT16_MAX}, {-1000.0f, 100.0f, INT16_MIN},
        {std::nanf(""), 100.0f, 0},
    };
    for (const VelCase& c : vel) EXPECT_EQ(VQTCANV2Codec::VelocityRaw(c.set, c.scale), c.raw) << c.set;

    struct ByteCase { float set; int byte; };
    const ByteCase bytes[] = {
        {0.0f, 128}, {12.0f, 131}, {-12.0f, 125}, {508.0f, 255}, {600.0f, 255},  // 600 used to wrap to 22
        {-512.0f, 0}, {-2000.0f, 0}, {std::nanf(""), 128},
    };
    for (const ByteCase& c : bytes) EXPECT_EQ(VQTCANV2Codec::VelocityByte(c.set), c.byte) << c.set;
}

TEST(VQTCANV2Codec, StatusLightColours) {
    struct Case { unsigned combined; int r, g, b; };
    const Case cases[] = {
        {0, 0, 150, 0}, {0x100, 0, 150, 0}, {0x04, 220, 95, 0}, {0x104, 220, 95, 0},
        {0x200, 150, 0, 0}, {0x06, 150, 0, 0}, {0x02, 150, 0, 0}, {0x204, 150, 0, 0},
    };
    for (const Case& c : cases) {
        uint8_t r, g, b;
        VQTCANV2Codec::StatusLightColour(c.combined, r, g, b);
        EXPECT_EQ(r, c.r) << std::hex << c.combined;
        EXPECT_EQ(g, c.g) << std::hex << c.combined;
        EXPECT_EQ(b, c.b) << std::hex << c.combined;
    }
}

TEST(VQTCANV2Codec, ErrorCodeTexts) {
    struct Case { unsigned code; const char* text; const char* shortCode; };
    const Case cases[] = {
        {0, "no error", "NoError"},
        {0x01, " - temp", "TEMP"},
        {0x04, " - motor not enabled", "_MNE"},
        {0x06, " - estop / low supply - motor not enabled", "_ESTOP_MNE"},
        {0x200, " - module dead", "_DEAD"},
        {0x3FF,
         " - temp - estop / low supply - motor not enabled - comm watch dog - position lag - encoder error"
         " - over current - driver/svm - bus dead - module dead",
         "TEMP_ESTOP_MNE_COM_LAG_ENC_OC_DRV_BUS_DEAD"},
    };
    for (const Case& c : cases) {
        std::string text = "old", shortCode = "old";
        VQTCANV2Codec::DecodeErrorCode(c.code, text, shortCode);
        EXPECT_EQ(text, c.text);
        EXPECT_EQ(shortCode, c.shortCode);
    }
}

TEST(VQTCANV2Codec, MasterCommandBytes) {
    for (int b = 0; b < 256; ++b) {
        const bool master = b == 0x14 || b == 0xBB || b == 0xFE;
        EXPECT_EQ(VQTCANV2Codec::IsMasterCommand(static_cast<uint8_t>(b)), master) << b;
    }
}
