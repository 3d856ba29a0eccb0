// Frames of the joint-module protocol v1.

#include "hardware/VQTCANCodec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

using Codec = Hardware::VQTCANCodec;

namespace {

std::vector<int> Bytes(const Codec::Frame& f) { return std::vector<int>(f.data, f.data + f.dlc); }

TEST(V1Codec, PositionSetPointBytes) {
    struct Case {
        float position, scale, zero;
        int high, low;
    };
    const Case cases[] = {
        {0.0f, 190.0f, 32000.0f, 0x7D, 0x00},
        {10.0f, 190.0f, 32000.0f, 0x84, 0x6C},   // 33900
        {-10.0f, 190.0f, 32000.0f, 0x75, 0x94},  // 30100
        {0.01f, 100.0f, 0.0f, 0x00, 0x01},
        // Outside the 16-bit field the ends hold instead of wrapping round.
        {400.0f, 190.0f, 32000.0f, 0xFF, 0xFF},
        {-400.0f, 190.0f, 32000.0f, 0x00, 0x00},
        {1e30f, 190.0f, 32000.0f, 0xFF, 0xFF},
        {std::numeric_limits<float>::quiet_NaN(), 190.0f, 32000.0f, 0x00, 0x00},
    };
    for (const Case& c : cases) {
        const Codec::Frame f =
            Codec::EncodePositionSetPoint(0x10, 0x80, Codec::PositionRaw(c.position, c.scale, c.zero), 42, 0x05);
        EXPECT_EQ(f.id, 0x10);
        EXPECT_EQ(Bytes(f), (std::vector<int>{0x04, 0x80, c.high, c.low, 42, 0x05})) << c.position;
    }
}

TEST(V1Codec, CounterRunsFrom0To99) {
    EXPECT_EQ(Codec::NextCounter(0), 1);
    EXPECT_EQ(Codec::NextCounter(98), 99);
    EXPECT_EQ(Codec::NextCounter(99), 0);
}

TEST(V1Codec, CommandFrames) {
    EXPECT_EQ(Bytes(Codec::EncodeResetError(0x20)), (std::vector<int>{0x01, 0x06}));
    EXPECT_EQ(Bytes(Codec::EncodeEnableMotor(0x20)), (std::vector<int>{0x01, 0x09}));
    EXPECT_EQ(Bytes(Codec::EncodeDisableMotor(0x20)), (std::vector<int>{0x01, 0x0A}));
    EXPECT_EQ(Bytes(Codec::EncodeSetToZero(0x20)), (std::vector<int>{0x01, 0x08, 0x7D, 0x00}));
    EXPECT_EQ(Codec::EncodeSetToZero(0x20).id, 0x20);
}

TEST(V1Codec, StatusRoundTripAndPosition) {
    Codec::Status s;
    s.errorBits = 0x44;
    s.velocity = -20;
    s.positionRaw = 33900;
    s.current = 17;
    s.inputs = 0x05;
    s.referenced = true;
    const Codec::Frame f = Codec::EncodeStatus(0x30, s);
    EXPECT_EQ(f.id, 0x31);
    EXPECT_EQ(Bytes(f), (std::vector<int>{0x44, 107, 0x84, 0x6C, 17, 0, 0, 0x85}));
    const Codec::Status back = Codec::DecodeStatus(f.data);
    EXPECT_EQ(back.errorBits, 0x44);
    EXPECT_EQ(back.velocity, -20);
    EXPECT_EQ(back.positionRaw, 33900);
    EXPECT_EQ(back.inputs, 0x85);
    EXPECT_TRUE(back.referenced);
    EXPECT_FLOAT_EQ(Codec::PositionFromRaw(back.positionRaw, 190.0f, 32000.0f), 10.0f);
}

TEST(V1Codec, ErrorTexts) {
    struct Case {
        unsigned code;
        const char* text;
        const char* shortCode;
    };
    const Case cases[] = {
        {0, "no error", "NoError"},
        {0x01, " - brown out or watch dog", "BOWD"},
        {0x02, " - velLag", "VLAG"},
        {0x04, " - motor not enabled", "MNE"},
        {0x80, " - CAN error", "_CAN"},
        {0x100, " - bus dead", "_BUS"},
        {0x200, " - module dead", "_DEAD"},
        {0x44, " - motor not enabled - over current", "MNE_OC"},
        {0x38, " - comm watch dog - position lag - encoder error", "_COM_LAG_ENC"},
    };
    for (const Case& c : cases) {
        std::string text, shortCode;
        Codec::DecodeErrorCode(c.code, text, shortCode);
        EXPECT_EQ(text, c.text) << c.code;
        EXPECT_EQ(shortCode, c.shortCode) << c.code;
    }
}

}  // namespace
