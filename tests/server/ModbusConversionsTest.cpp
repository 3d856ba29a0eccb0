// The Modbus value conversions, the count checks and the request reader.

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "server/ModbusReply.h"
#include "server/ModbusRequestReader.h"
#include "server/ModbusServer.h"
#include "server/ModbusWalk.h"
#include "support/LogCapture.h"

namespace {

using Modbus::ModbusServer;

TEST(ModbusConversions, SixteenBitHalvesOfIntegersAndReals) {
    EXPECT_EQ(ModbusServer::Lower16(0x12345678), 0x5678);
    EXPECT_EQ(ModbusServer::Upper16(0x12345678), 0x1234);
    EXPECT_EQ(ModbusServer::Lower16(-1), 0xFFFF);
    EXPECT_EQ(ModbusServer::Upper16(-1), 0xFFFF);
    EXPECT_EQ(ModbusServer::Lower16(-1.5f), 0xFFFF);
    EXPECT_EQ(ModbusServer::Upper16(-1.5f), 0xFFFF);
    EXPECT_EQ(ModbusServer::Lower16(65537.9f), 1);
    EXPECT_EQ(ModbusServer::Lower16(2.9), 2);
    EXPECT_EQ(ModbusServer::ToInt(0xFFFF, 0xFFFF), -1);
    EXPECT_EQ(ModbusServer::ToInt(0xFB2E, 0xFFFF), -1234);
    EXPECT_EQ(ModbusServer::ToInt(0x0000, 0x8000), std::numeric_limits<int32_t>::min());
    EXPECT_FLOAT_EQ(ModbusServer::ToFloat(0x0064, 0x0000), 100.0f);
}

TEST(ModbusConversions, RealsSaturateAndNaNGivesZero) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    EXPECT_EQ(ModbusServer::SaturateToInt(1e12), std::numeric_limits<int32_t>::max());
    EXPECT_EQ(ModbusServer::SaturateToInt(-1e12), std::numeric_limits<int32_t>::min());
    EXPECT_EQ(ModbusServer::SaturateToInt(nan), 0);
    EXPECT_EQ(ModbusServer::SaturateToInt(-7.9), -7);
    EXPECT_EQ(ModbusServer::Lower16(nan), 0);
    EXPECT_EQ(ModbusServer::Upper16(inf), 0x7FFF);
    EXPECT_EQ(ModbusServer::Upper16(-inf), 0x8000);
    // Unsigned scaling: negative and NaN give 0, the fraction is dropped.
    EXPECT_EQ(ModbusServer::U16Scaled(-3.0, 10.0), 0);
    EXPECT_EQ(ModbusServer::U16Scaled(nan, 10.0), 0);
    EXPECT_EQ(ModbusServer::U16Scaled(25.57, 10.0), 255);
    EXPECT_EQ(ModbusServer::U16Scaled(1e20, 1.0), 0xFFFF);
    EXPECT_EQ(ModbusServer::S16Scaled(-2.55, 10.0), static_cast<uint16_t>(-25));
    EXPECT_EQ(ModbusServer::Rounded16(3.5), 4);
    EXPECT_EQ(ModbusServer::Rounded16(-2.0), 0xFFFE);
    EXPECT_EQ(ModbusServer::Rounded16(nan), 0);
}

TEST(ModbusConversions, TextTravelsTwoCharactersPerRegisterLowByteFirst) {
    unsigned short regs[3] = {1, 1, 1};
    ModbusServer::StringToRegisters("AB", regs, 2);
    EXPECT_EQ(regs[0], 0x4241);
    EXPECT_EQ(regs[1], 0x0000);
    EXPECT_EQ(regs[2], 1) << "only n registers are written";
    ModbusServer::StringToRegisters("ABC", regs, 2);
    EXPECT_EQ(regs[1], 0x0043);

    const unsigned short abc[2] = {0x4241, 0x0043};
    EXPECT_EQ(ModbusServer::StringFromRegisters(abc, 2), "ABC");
    const unsigned short bad[2] = {0x0141, 0x0043};
    EXPECT_EQ(ModbusServer::StringFromRegisters(bad, 2), "");
    const unsigned short full[2] = {0x4241, 0x4443};
    EXPECT_EQ(ModbusServer::StringFromRegisters(full, 2), "ABCD") << "no terminating 0 needed";

    std::vector<unsigned short> round(32);
    ModbusServer::StringToRegisters("sub/prog1.xml", round.data(), 32);
    EXPECT_EQ(ModbusServer::StringFromRegisters(round.data(), 32), "sub/prog1.xml");
}

TEST(ModbusConversions, EnumerationsBothWays) {
    struct Case {
        int value;
        uint16_t motion, replay, kinematic, stopReason;
    };
    const Case cases[] = {
        {0, 0, 0, 0, 0},          {1, 1, 1, 65535, 1},      {2, 2, 2, 65535, 2},     {3, 3, 65535, 65535, 3},
        {4, 65535, 65535, 65535, 4}, {5, 65535, 65535, 65535, 5}, {6, 65535, 65535, 65535, 100},
        {7, 65535, 65535, 65535, 101}, {8, 65535, 65535, 65535, 102}, {9, 65535, 65535, 65535, 103},
        {13, 65535, 65535, 13, 100}, {23, 65535, 65535, 23, 100}, {33, 65535, 65535, 33, 100},
        {36, 65535, 65535, 65535, 100}, {50, 65535, 65535, 50, 100}, {99, 65535, 65535, 1, 100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(ModbusServer::FromMotionType(static_cast<MotionType>(c.value)), c.motion);
        EXPECT_EQ(ModbusServer::FromReplayMode(static_cast<IPO::ReplayMode>(c.value)), c.replay);
        EXPECT_EQ(ModbusServer::FromKinematicState(c.value), c.kinematic);
        EXPECT_EQ(ModbusServer::FromIPOStopReason(static_cast<IPO::StopReason>(c.value)), c.stopReason);
    }
    EXPECT_EQ(ModbusServer::ToMotionType(3), MotionTypePlatform);
    EXPECT_EQ(ModbusServer::ToMotionType(4), MotionTypeRobotJoint);
    EXPECT_EQ(ModbusServer::ToReplayMode(2), IPO::ReplayStep);
    EXPECT_EQ(ModbusServer::ToReplayMode(3), IPO::ReplaySingle) << "3 names no replay mode";
    EXPECT_EQ(ModbusServer::ToReplayMode(0xFFFF), IPO::ReplaySingle);

    EXPECT_EQ(ModbusServer::FromRunState(IPO::RunStateIdle), 0);
    EXPECT_EQ(ModbusServer::FromRunState(IPO::RunStateRunning), 1);
    EXPECT_EQ(ModbusServer::FromRunState(IPO::RunStatePaused), 2);
    EXPECT_EQ(ModbusServer::FromRunState(static_cast<IPO::RunState>(7)), 65535);
    EXPECT_EQ(ModbusServer::ToRunState(1), IPO::RunStateRunning);
    EXPECT_EQ(ModbusServer::ToRunState(2), IPO::RunStatePaused);
    EXPECT_EQ(ModbusServer::ToRunState(0), IPO::RunStateIdle);
    EXPECT_EQ(ModbusServer::ToRunState(9), IPO::RunStateIdle);

    EXPECT_EQ(ModbusServer::FromOperationMode(opModeCANBridge), 2);
    EXPECT_EQ(ModbusServer::FromOperationMode(static_cast<operationMode>(3)), 65535);
}

TEST(ModbusCountChecks, LimitsOfTheProtocol) {
    struct Case {
        int n;
        bool coilRead, coilWrite, registerRead, registerWrite;
    };
    const Case cases[] = {
        {0, false, false, false, false}, {1, true, true, true, true},     {123, true, true, true, true},
        {124, true, true, true, false},  {125, true, true, true, false},  {126, true, true, false, false},
        {1968, true, true, false, false}, {1969, true, false, false, false}, {2000, true, false, false, false},
        {2001, false, false, false, false}, {-1, false, false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.n);
        EXPECT_EQ(Modbus::validCoilCntRead(c.n), c.coilRead);
        EXPECT_EQ(Modbus::validCoilCntWrite(c.n), c.coilWrite);
        EXPECT_EQ(Modbus::validRegisterCntRead(c.n), c.registerRead);
        EXPECT_EQ(Modbus::validRegisterCntWrite(c.n), c.registerWrite);
    }
}

std::vector<uint8_t> Frame(uint16_t transaction, std::vector<uint8_t> pdu) {
    const std::size_t following = pdu.size() + 1;
    std::vector<uint8_t> frame = {static_cast<uint8_t>(transaction >> 8), static_cast<uint8_t>(transaction), 0, 0,
                                  static_cast<uint8_t>(following >> 8), static_cast<uint8_t>(following), 1};
    for (uint8_t byte : pdu) frame.push_back(byte);
    return frame;
}

TEST(ModbusRequestReader, CutsTheStreamByTheHeaderLength) {
    const std::vector<uint8_t> first = Frame(1, {3, 0, 0, 0, 10});
    const std::vector<uint8_t> second = Frame(2, {4, 0, 130, 0, 12});
    std::vector<uint8_t> stream = first;
    for (uint8_t byte : second) stream.push_back(byte);

    Modbus::RequestReader reader;
    std::vector<uint8_t> request;
    // Byte by byte: complete only once its last byte arrived.
    for (std::size_t i = 0; i + 1 < first.size(); ++i) {
        reader.Append(&stream[i], 1);
        EXPECT_EQ(reader.Next(request), Modbus::RequestReader::Status::Incomplete);
    }
    reader.Append(&stream[first.size() - 1], stream.size() - first.size() + 1);
    ASSERT_EQ(reader.Next(request), Modbus::RequestReader::Status::Complete);
    EXPECT_EQ(request, first);
    ASSERT_EQ(reader.Next(request), Modbus::RequestReader::Status::Complete);
    EXPECT_EQ(request, second);
    EXPECT_EQ(reader.Next(request), Modbus::RequestReader::Status::Incomplete);
    EXPECT_FALSE(reader.HasPending());
}

TEST(ModbusRequestReader, InvalidHeadersAreReportedAtOnce) {
    struct Case {
        const char* what;
        std::vector<uint8_t> header;
    };
    const Case cases[] = {
        {"protocol id 1", {0, 1, 0, 1, 0, 6}},
        {"length 0", {0, 1, 0, 0, 0, 0}},
        {"length 1", {0, 1, 0, 0, 0, 1}},
        {"length 255", {0, 1, 0, 0, 0, 255}},
        {"text", {'G', 'E', 'T', ' ', '/', ' '}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Modbus::RequestReader reader;
        std::vector<uint8_t> request;
        reader.Append(c.header.data(), c.header.size());
        EXPECT_EQ(reader.Next(request), Modbus::RequestReader::Status::Invalid);
    }
    Modbus::RequestReader longest;
    std::vector<uint8_t> frame = {0, 1, 0, 0, 0, 254};
    frame.resize(260, 0);
    longest.Append(frame.data(), frame.size());
    std::vector<uint8_t> request;
    EXPECT_EQ(longest.Next(request), Modbus::RequestReader::Status::Complete);
}

}  // namespace

namespace {

TEST(ModbusMappingWalk, GroupsEndOfTableAndExceptions) {
    // A group at 5..7 is handled once at the first address reached, then the walk goes on after it.
    std::vector<int> steps;
    auto step = [&](int a) {
        steps.push_back(a);
        return a >= 5 && a <= 7 ? 7 : a;
    };
    EXPECT_TRUE(Modbus::MappingWalk(3, 7, 100, "watchdog %d", "exception %d %d %s", step));
    EXPECT_EQ(steps, (std::vector<int>{3, 4, 5, 8, 9}));
    steps.clear();
    EXPECT_TRUE(Modbus::MappingWalk(6, 4, 100, "watchdog %d", "exception %d %d %s", step));
    EXPECT_EQ(steps, (std::vector<int>{6, 8, 9})) << "an address inside the group stands for the group";
    steps.clear();
    EXPECT_TRUE(Modbus::MappingWalk(97, 10, 100, "watchdog %d", "exception %d %d %s", step));
    EXPECT_EQ(steps, (std::vector<int>{97, 98, 99})) << "the end of the table ends the walk";
    steps.clear();
    EXPECT_TRUE(Modbus::MappingWalk(65535, 3, 100, "watchdog %d", "exception %d %d %s", step));
    EXPECT_TRUE(steps.empty()) << "no wrap-around to address 0";

    // Exceptions of any kind end the walk with the log line and go no further.
    TestSupport::LogCapture log;
    struct Case {
        std::function<void()> thrower;
        const char* line;
    };
    const Case cases[] = {
        {[] { throw std::runtime_error("Variable mb_num_r1 is not defined"); },
         "exception 2 4 Variable mb_num_r1 is not defined"},
        {[] { throw 22; }, "exception 2 4 kinematic error 22"},
        {[] { throw "text"; }, "exception 2 4 unknown exception"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        log.Clear();
        steps.clear();
        EXPECT_FALSE(Modbus::MappingWalk(2, 4, 100, "watchdog %d", "exception %d %d %s", [&](int a) {
            steps.push_back(a);
            if (a == 3) c.thrower();
            return a;
        }));
        EXPECT_EQ(steps, (std::vector<int>{2, 3}));
        EXPECT_TRUE(log.Has(c.line));
    }
}

}  // namespace
