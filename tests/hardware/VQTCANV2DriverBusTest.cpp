// The v2/v3 driver against a plain bus participant: the exact frames it
// sends, and what it makes of frames that modules send.

#include "hardware/VQTCANV2TestSupport.h"

#include "common/LogSingleton.h"
#include "hardware/ExternalAxis.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

using Codec = Hardware::VQTCANV2Codec;
using V2Test::Bytes;
using V2Test::RunnerCapture;
using V2Test::TestClock;

namespace {

class VQTCANV2DriverBus : public V2Test::VQTCANV2Fixture {
protected:
    // Driver with one DIO module on 0x70, connected; the peer listens.
    void MakeConnectedDriver(bool withDio = false) {
        Peer();
        MakeDriver(3, false);
        if (withDio) driver->InitDIOModules(0x70);
        ASSERT_TRUE(driver->Connect());
        // The connect test frame.
        ASSERT_EQ(WithId(ReceiveFrames(1), 0x10).size(), 1u);
    }

    // Connected, and past the operator's reset: the set-points of the robot state go out.
    void MakeDrivingDriver(bool withDio = false) {
        MakeConnectedDriver(withDio);
        driver->ResetError();
        const size_t resets = static_cast<size_t>(driver->moduleCount);
        ASSERT_EQ(ReceiveFrames(resets).size(), resets);
    }

    std::vector<can_frame> SetPoints(const std::vector<can_frame>& frames) {
        std::vector<can_frame> out;
        for (const can_frame& f : frames)
            if (f.can_dlc > 0 && f.data[0] != 0x01) out.push_back(f);
        return out;
    }

    void SendStatus(int canId, uint8_t bits, int32_t raw, uint16_t current, uint8_t inputs) {
        SendToDriver(Codec::EncodeStatus(canId, bits, raw, current, inputs));
    }

    void SendStatusToAll(uint8_t bits) {
        for (int id = 0x10; id <= 0x60; id += 0x10) SendStatus(id, bits, 0, 0, 0);
    }
};

}  // namespace

TEST_F(VQTCANV2DriverBus, EveryModuleGetsItsSetPointWithTheSharedCounter) {
    MakeDrivingDriver(true);
    state.jointSetPoint[0] = 10.0f;   // gear 190 -> 1900
    state.jointSetPoint[1] = -10.0f;  // gear -190 -> 1900
    state.jointSetPoint[2] = 1.5f;    // gear 100, zero 1000 -> 1150
    state.jointSetPoint[3] = -2.0f;   // gear 50 -> -100
    driver->SetIO(0, 2, true);
    driver->SetIO(6, 0, true);        // the DIO module's own record
    driver->SetRailIO(0, 1, true);
    driver->SetJoints(state);
    driver->SetJoints(state);

    const auto frames = SetPoints(ReceiveFrames(14));
    ASSERT_EQ(frames.size(), 14u);
    const int ids[7] = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70};
    for (int cycle = 0; cycle < 2; ++cycle) {
        for (int m = 0; m < 7; ++m) {
            const can_frame& f = frames[cycle * 7 + m];
            EXPECT_EQ(static_cast<int>(f.can_id), ids[m]);
            ASSERT_EQ(f.can_dlc, 8);
            EXPECT_EQ(f.data[6], cycle + 1) << "counter of module " << m;
        }
    }
    EXPECT_EQ(Bytes(frames[0]), (std::vector<int>{0x14, 0x80, 0x00, 0x00, 0x07, 0x6C, 1, 0x04}));
    EXPECT_EQ(Bytes(frames[1]), (std::vector<int>{0x14, 0x80, 0x00, 0x00, 0x07, 0x6C, 1, 0x00}));
    EXPECT_EQ(Bytes(frames[2]), (std::vector<int>{0x14, 0x80, 0x00, 0x00, 0x04, 0x7E, 1, 0x00}));
    EXPECT_EQ(Bytes(frames[3]), (std::vector<int>{0x14, 0x80, 0xFF, 0xFF, 0xFF, 0x9C, 1, 0x00}));
    // DIO module: rail byte OR the record's own output byte.
    EXPECT_EQ(Bytes(frames[6]), (std::vector<int>{0x14, 0, 0, 0, 0, 0, 1, 0x03}));
}

TEST_F(VQTCANV2DriverBus, CounterRunsThrough255Values) {
    MakeDrivingDriver();
    driver->counter = 253;
    for (int i = 0; i < 3; ++i) driver->SetJoints(state);
    const auto frames = WithId(SetPoints(ReceiveFrames(18)), 0x10);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].data[6], 254);
    EXPECT_EQ(frames[1].data[6], 0);
    EXPECT_EQ(frames[2].data[6], 1);
}

TEST_F(VQTCANV2DriverBus, NothingIsSentWhileCyclicSendingIsOff) {
    MakeDrivingDriver();
    driver->cyclicSending = false;
    driver->SetJoints(state);
    driver->cyclicSending = true;
    driver->counter = 0;
    driver->SetJoints(state);
    const auto frames = SetPoints(ReceiveFrames(6));
    ASSERT_EQ(frames.size(), 6u);
    for (const can_frame& f : frames) EXPECT_EQ(f.data[6], 1);
}

TEST_F(VQTCANV2DriverBus, TorqueKeepAliveAndVelocityFrames) {
    MakeDrivingDriver();
    driver->SetJointMode(3, Hardware::JointModeTorque);
    driver->SetJointMode(3, Hardware::JointModeTorque);
    EXPECT_TRUE(log->Has("Setting mode of joint 3 to 10"));
    EXPECT_TRUE(log->Has("Not setting mode of joint 3 to 10, already set"));

    ExternalAxis axis(1, "rail", Hardware::JointModeVelocity);
    axis.canId = 0x70;
    axis.gearScale = 100.0;
    axis.velMax = 80.0;
    driver->InitExternalJoint(axis);
    EXPECT_EQ(driver->moduleCount, 7);

    struct Case { float setPoint, override; int raw; };
    const Case cases[] = {{50.0f, 100.0f, 5000}, {200.0f, 100.0f, 8000}, {-200.0f, 50.0f, -4000}};
    for (const Case& c : cases) {
        state.jointVelocitySetPoint[6] = c.setPoint;
        state.override = c.override;
        driver->SetJoints(state);
        const auto frames = SetPoints(ReceiveFrames(7));
        const auto velocity = WithId(frames, 0x70);
        ASSERT_EQ(velocity.size(), 1u);
        ASSERT_EQ(velocity[0].can_dlc, 4);
        EXPECT_EQ(velocity[0].data[0], 0x25);
        EXPECT_EQ(static_cast<int16_t>((velocity[0].data[1] << 8) | velocity[0].data[2]), c.raw) << c.setPoint;
        const auto keepAlive = WithId(frames, 0x40);
        ASSERT_EQ(keepAlive.size(), 1u);
        EXPECT_EQ(Bytes(keepAlive[0]), (std::vector<int>{0x16, 0x00, 0x00, velocity[0].data[3]}));
    }
    // A velocity-mode axis reports no position.
    driver->jointData[6].actualPosition = 12.0f;
    state.jointActual[6] = 5.0f;
    driver->GetJoints(&state);
    EXPECT_EQ(state.jointActual[6], 0.0f);
}

TEST_F(VQTCANV2DriverBus, BacklashCompensationFollowsTheDirectionOfMotion) {
    WriteRobotFile([](tinyxml2::XMLDocument& doc) {
        auto* j = doc.FirstChildElement("Robot")->FirstChildElement("BusConfiguration")->FirstChildElement("Joint0");
        j->SetAttribute("GearPlay", 0.5);
        j->SetAttribute("GearPlayInc", 0.1);
        j->SetAttribute("GearScale", 100.0);
    });
    MakeDrivingDriver();
    Hardware::jointData& r = driver->jointData[0];

    std::vector<float> offsets;
    std::vector<int> raws;
    auto step = [&](float t) {
        driver->noError = true;  // as after an error evaluation without error
        state.jointSetPoint[0] = t;
        driver->SetJoints(state);
        offsets.push_back(r.gearPlayOffset);
        const auto f = WithId(SetPoints(ReceiveFrames(6)), 0x10);
        raws.push_back(f.empty() ? -1 : static_cast<int32_t>((f[0].data[2] << 24) | (f[0].data[3] << 16) |
                                                             (f[0].data[4] << 8) | f[0].data[5]));
    };
    for (int i = 1; i <= 6; ++i) step(1.0f + 0.1f * i);  // moving up
    for (int i = 0; i < 5; ++i) EXPECT_NEAR(offsets[i], 0.1f * (i + 1), 1e-4) << i;
    EXPECT_NEAR(offsets[5], 0.5f, 1e-4);
    EXPECT_NEAR(raws[5], 210, 1);
    EXPECT_NEAR(r.setPosition, 2.1f, 1e-4);  // the frame carries target plus offset

    offsets.clear();
    for (int i = 1; i <= 12; ++i) step(1.6f - 0.05f * i);  // reversing
    EXPECT_NEAR(offsets[0], 0.4f, 1e-4);
    EXPECT_NEAR(offsets[9], -0.5f, 1e-4);
    EXPECT_NEAR(offsets[11], -0.5f, 1e-4);

    // Without noError the offset is kept but not applied.
    driver->noError = false;
    state.jointSetPoint[0] = 1.0f;
    driver->SetJoints(state);
    const auto f = WithId(SetPoints(ReceiveFrames(6)), 0x10);
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].data[5], 100);
}

TEST_F(VQTCANV2DriverBus, NonFiniteSetPointHoldsThePreviousOne) {
    MakeDrivingDriver();
    state.jointSetPoint[0] = 10.0f;
    driver->SetJoints(state);
    state.jointSetPoint[0] = std::nanf("");
    driver->SetJoints(state);
    const auto f = WithId(SetPoints(ReceiveFrames(12)), 0x10);
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(Bytes(f[1]).at(4), 0x07);
    EXPECT_EQ(Bytes(f[1]).at(5), 0x6C);
}

// After the connect (a restarted controller may find the modules enabled, the
// arm anywhere) no module is sent anything but its own reported position until
// the operator's reset has taken the set-points from the positions: one not
// heard yet is asked to stand (velocity 0), whatever the robot state holds.
TEST_F(VQTCANV2DriverBus, UntilTheResetEachModuleIsHeldWhereItReportsItself) {
    MakeConnectedDriver();
    for (int j = 0; j < 6; ++j) state.jointSetPoint[j] = 90.0f;  // the project's home, say
    driver->SetJoints(state);
    auto frames = ReceiveFrames(6);
    ASSERT_EQ(frames.size(), 6u);
    for (const can_frame& f : frames) {
        EXPECT_EQ(Bytes(f), (std::vector<int>{0x25, 0x00, 0x00, 1})) << "module 0x" << std::hex << f.can_id;
    }

    const int32_t reported[6] = {6346, -6308, 3340, -1, 0, 4501};
    for (int m = 0; m < 6; ++m) SendStatus(0x10 * (m + 1), 0x00, reported[m], 0, 0);
    // The cycle reads the reports back after its set-points: from the next one on.
    driver->SetJoints(state);
    ASSERT_EQ(ReceiveFrames(6).size(), 6u);
    for (int cycle = 0; cycle < 3; ++cycle) {
        driver->SetJoints(state);
        frames = ReceiveFrames(6);
        ASSERT_EQ(frames.size(), 6u);
        for (int m = 0; m < 6; ++m) {
            const can_frame& f = frames[static_cast<size_t>(m)];
            ASSERT_EQ(f.can_dlc, 8);
            EXPECT_EQ(f.data[0], 0x14);
            const int32_t raw = static_cast<int32_t>((static_cast<uint32_t>(f.data[2]) << 24) | (f.data[3] << 16) |
                                                     (f.data[4] << 8) | f.data[5]);
            EXPECT_EQ(raw, reported[m]) << "module " << m << ", cycle " << cycle;
        }
    }

    // The operator's reset: from now on the robot state's set-points.
    driver->ResetError();
    ASSERT_EQ(ReceiveFrames(6).size(), 6u);
    state.jointSetPoint[0] = 10.0f;  // gear 190 -> 1900
    driver->SetJoints(state);
    frames = WithId(ReceiveFrames(6), 0x10);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(Bytes(frames[0]).at(4), 0x07);
    EXPECT_EQ(Bytes(frames[0]).at(5), 0x6C);

    // A new connect holds them again.
    ASSERT_TRUE(driver->Connect());
    driver->SetJoints(state);
    driver->SetJoints(state);
    frames = WithId(ReceiveFrames(12), 0x10);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].data[0], 0x25);
    EXPECT_EQ(Bytes(frames[1]), (std::vector<int>{0x14, 0x80, 0x00, 0x00, 0x18, 0xCA, frames[1].data[6], 0x00}));
}

TEST_F(VQTCANV2DriverBus, StatusFramesAreDecodedOnlyWhenFresh) {
    MakeConnectedDriver();
    driver->jointData[0].referencing = 1;
    SendStatus(0x10, 0x00, 1900, 0x0123, 0xC5);
    driver->SetJoints(state);

    const Hardware::jointData& a = driver->jointData[0];
    EXPECT_EQ(a.errorCode, 0u);
    EXPECT_EQ(a.errorText, "NoError");
    EXPECT_EQ(a.motorReady, 1u);
    EXPECT_FLOAT_EQ(a.actualPosition, 10.0f);
    EXPECT_FLOAT_EQ(a.current, 10.0f * 0x0123);
    EXPECT_EQ(a.digitalInputs, 0xC5u);
    EXPECT_EQ(a.referenced, 1);
    EXPECT_EQ(a.aligned, 1);
    EXPECT_EQ(a.referencing, 0);

    // A record that never received a frame holds the table's filler bytes:
    // they must not become a position, a current or a one-byte current mode.
    const Hardware::jointData& b = driver->jointData[1];
    EXPECT_EQ(b.errorCode, 0x200u);
    EXPECT_EQ(b.motorReady, 0u);
    EXPECT_EQ(b.shortCurrent, 0);
    EXPECT_EQ(b.actualPosition, 0.0f);
    EXPECT_EQ(b.current, 0.0f);
    EXPECT_EQ(b.digitalInputs, 0u);

    driver->GetJoints(&state);
    EXPECT_FLOAT_EQ(state.jointActual[0], 10.0f);

    // Gear zero and a negative scale.
    SendStatus(0x30, 0x04, 1150, 2, 0);
    SendStatus(0x20, 0x04, 1900, 2, 0);
    driver->SetJoints(state);
    EXPECT_FLOAT_EQ(driver->jointData[2].actualPosition, 1.5f);
    EXPECT_FLOAT_EQ(driver->jointData[2].current, 10.0f * 2 - 5.0f);
    EXPECT_FLOAT_EQ(driver->jointData[1].actualPosition, -10.0f);
    EXPECT_EQ(driver->jointData[1].errorText, "_MNE");
    EXPECT_EQ(driver->jointData[1].motorReady, 0u);

    // A stale frame keeps the values but the module counts as dead.
    TestClock::Advance(2100);
    driver->SetJoints(state);
    EXPECT_EQ(driver->jointData[0].errorCode, 0x200u);
    EXPECT_EQ(driver->jointData[0].motorReady, 0u);
    EXPECT_FLOAT_EQ(driver->jointData[0].actualPosition, 10.0f);
    EXPECT_EQ(driver->jointData[0].errorText, "NoError");
}

TEST_F(VQTCANV2DriverBus, OneByteCurrentStaysOnceSeen) {
    MakeConnectedDriver();
    SendToDriver(Codec::EncodeStatus(0x10, 0, 0, 0x8012, 0));
    driver->SetJoints(state);
    EXPECT_EQ(driver->jointData[0].shortCurrent, 1);
    EXPECT_FLOAT_EQ(driver->jointData[0].current, 10.0f * 0x12);
    SendToDriver(Codec::EncodeStatus(0x10, 0, 0, 0x0113, 0));
    driver->SetJoints(state);
    EXPECT_FLOAT_EQ(driver->jointData[0].current, 10.0f * 0x13);
}

TEST_F(VQTCANV2DriverBus, TemperaturesAreReadEvery101Cycles) {
    MakeConnectedDriver();
    SendToDriver(Codec::EncodeTemperature(0x10, 0, 160));
    for (int i = 0; i < 100; ++i) driver->SetJoints(state);
    EXPECT_EQ(driver->jointData[0].temperature, 0.0f);
    driver->SetJoints(state);
    EXPECT_FLOAT_EQ(driver->jointData[0].temperature, -25.6f);
    EXPECT_NEAR(driver->jointData[0].temperature2, 24.4f, 1e-4);
    EXPECT_EQ(driver->jointData[1].temperature, -1.0f);  // never sent one
    float temps[16] = {};
    driver->GetTempValues(temps);
    EXPECT_FLOAT_EQ(temps[0], -25.6f);
    driver->GetJoints(&state);
    EXPECT_NEAR(state.jointTemperatures2[0], 24.4f, 1e-4);
}

TEST_F(VQTCANV2DriverBus, SupplyFrameFeedsVoltageAndCircuits) {
    MakeConnectedDriver();
    SendToDriver(Codec::EncodeSupply(2400, true, false));
    driver->SetJoints(state);
    EXPECT_EQ(driver->GetSupplyVoltage(), 24000.0f);
    EXPECT_EQ(driver->mainIoState[4], 1);

    // A circuit off is an emergency stop / low supply for the error evaluation.
    SendStatusToAll(0);
    driver->SetJoints(state);
    std::string status, shortCode;
    for (int i = 0; i < 5; ++i) driver->GetError(status, shortCode);
    EXPECT_EQ(status, "Status:  - estop / low supply");
    EXPECT_EQ(shortCode, "_ESTOP");

    // A stale supply frame keeps the last values.
    TestClock::Advance(2100);
    driver->SetJoints(state);
    EXPECT_EQ(driver->GetSupplyVoltage(), 24000.0f);
}

TEST_F(VQTCANV2DriverBus, TotalCurrentAndEStopForTheRobotState) {
    MakeDriver(3, false);
    EXPECT_EQ(driver->GetEStop(), 0);  // not connected
    MakeConnectedDriver();
    SendStatus(0x10, 0, 0, 100, 0);
    SendStatus(0x20, 0, 0, 250, 0);
    SendToDriver(Codec::EncodeSupply(2400, true, true));
    driver->SetJoints(state);
    const int sum = static_cast<int>(driver->jointData[0].current) + static_cast<int>(driver->jointData[1].current);
    EXPECT_GT(sum, 0);
    EXPECT_EQ(driver->GetTotalCurrent(), sum);
    EXPECT_EQ(driver->GetEStop(), 0);

    SendToDriver(Codec::EncodeSupply(2400, true, false));
    driver->SetJoints(state);
    EXPECT_EQ(driver->GetEStop(), 1);
}

TEST_F(VQTCANV2DriverBus, ErrorsAreToleratedForFourEvaluations) {
    MakeConnectedDriver();
    SendStatusToAll(0x04);
    driver->SetJoints(state);
    log->Clear();

    std::string status, shortCode;
    for (int i = 1; i <= 4; ++i) {
        driver->GetError(status, shortCode);
        EXPECT_EQ(status, "Status: no error") << i;
        EXPECT_EQ(shortCode, "NoError");
        EXPECT_TRUE(driver->noError.load());
        char line[128];
        std::snprintf(line, sizeof(line),
                      "ProtocolVQTCANV2: allowing NoError, cntHWError: %d/5 - Error:  - motor not enabled", i);
        EXPECT_TRUE(log->Has(line)) << line;
    }
    // The first erroneous evaluation wrote the CAN dump.
    EXPECT_FALSE(log->StartingWith("O <-- ").empty());

    driver->GetError(status, shortCode);
    EXPECT_EQ(status, "Status:  - motor not enabled");
    EXPECT_EQ(shortCode, "_MNE");
    EXPECT_FALSE(driver->noError.load());
    EXPECT_TRUE(log->Has("CAN status changed:  - motor not enabled, cntHWError: 5, codes: 4 4 4 4 4 4"));

    // One light frame per change of the text; its colour follows the error
    // bits, also while the text is still masked.
    auto lights = ReceiveWithId(0x01, 2);
    ASSERT_EQ(lights.size(), 2u);
    EXPECT_EQ(Bytes(lights[0]), (std::vector<int>{0x01, 0x30, 0x00, 220, 95, 0, 0, 0}));
    EXPECT_EQ(Bytes(lights[1]), (std::vector<int>{0x01, 0x30, 0x00, 220, 95, 0, 0, 0}));

    // Unchanged status: no further light frame; error gone: counter reset, green.
    driver->GetError(status, shortCode);
    SendStatusToAll(0);
    driver->SetJoints(state);
    driver->GetError(status, shortCode);
    EXPECT_EQ(status, "Status: no error");
    EXPECT_EQ(driver->hwErrorCount, 0);
    lights = ReceiveWithId(0x01, 1);
    ASSERT_EQ(lights.size(), 1u);
    EXPECT_EQ(lights[0].data[4], 150);
}

TEST_F(VQTCANV2DriverBus, NotConnectedAndLowSupplyReports) {
    MakeDriver(3, false);
    std::string status, shortCode;
    driver->GetError(status, shortCode);
    EXPECT_EQ(status, "Status: not connected");
    EXPECT_EQ(shortCode, "NotConnected");
    EXPECT_FALSE(driver->noError.load());
    EXPECT_TRUE(log->Has("CAN status changed: not connected, cntHWError: 0"));

    ASSERT_TRUE(driver->Connect());
    SendStatus(0x30, 0x02, 0, 0, 0);
    driver->SetJoints(state);
    driver->GetError(status, shortCode);
    driver->GetError(status, shortCode);
    EXPECT_EQ(log->Count("ProtocolVQTCANV2: low supply in module 3"), 1);  // once per 10 s
}

TEST_F(VQTCANV2DriverBus, ShutdownRequestNeedsBothStagesInOrder) {
    RunnerCapture runner;
    MakeConnectedDriver();
    SendToDriver(Codec::EncodeShutdownRequest(0x0C));
    driver->SetJoints(state);
    EXPECT_EQ(driver->shutdownStage, 13);
    EXPECT_EQ(driver->shutdownCountdown, 100);
    EXPECT_EQ(log->StartingWith("ProtocolVQTCANV2: Shutdown request stage 1 ").size(), 1u);
    SendToDriver(Codec::EncodeShutdownRequest(0x29));
    driver->SetJoints(state);
    EXPECT_EQ(log->StartingWith("ProtocolVQTCANV2: Shutdown request stage 2 final").size(), 1u);
    EXPECT_TRUE(log->Has("Shutting down the system..."));
    // The same frame may be seen again within its 50 ms: no second shutdown.
    for (int i = 0; i < 5; ++i) driver->SetJoints(state);
    EXPECT_EQ(runner.Commands(), std::vector<std::string>{"systemctl poweroff"});
    EXPECT_EQ(driver->shutdownStage, 0);
}

TEST_F(VQTCANV2DriverBus, ShutdownRequestOutOfSequenceOrStaleDoesNothing) {
    RunnerCapture runner;
    MakeConnectedDriver();
    // Second stage alone.
    SendToDriver(Codec::EncodeShutdownRequest(0x29));
    driver->SetJoints(state);
    EXPECT_EQ(log->Count("ProtocolVQTCANV2: Shutdown request - error in sequence"), 1);

    // Second stage after the countdown of 100 cycles ran out.
    SendToDriver(Codec::EncodeShutdownRequest(0x0C));
    driver->SetJoints(state);
    TestClock::Advance(60);  // the first-stage frame is no longer acted on
    for (int i = 0; i < 100; ++i) driver->SetJoints(state);
    EXPECT_EQ(driver->shutdownCountdown, 0);
    SendToDriver(Codec::EncodeShutdownRequest(0x29));
    driver->SetJoints(state);

    // A frame older than 50 ms is ignored.
    SendToDriver(Codec::EncodeShutdownRequest(0x0C));
    TestClock::Advance(60);
    log->Clear();
    driver->SetJoints(state);
    EXPECT_TRUE(log->StartingWith("ProtocolVQTCANV2: Shutdown request").empty());
    EXPECT_TRUE(runner.Commands().empty());
}

TEST_F(VQTCANV2DriverBus, AllModulesSilentForMoreThan100CyclesDisconnects) {
    MakeConnectedDriver();
    SendStatusToAll(0);
    driver->SetJoints(state);
    EXPECT_EQ(driver->noAnswerCycles, 0);
    TestClock::Advance(2100);
    for (int i = 0; i < 100; ++i) driver->SetJoints(state);
    EXPECT_TRUE(driver->GetConnectionStatus());
    driver->SetJoints(state);
    EXPECT_EQ(driver->noAnswerCycles, 101);
    EXPECT_FALSE(driver->GetConnectionStatus());
    EXPECT_EQ(driver->noAnswerCycles, 0);
    EXPECT_TRUE(log->Has("CAN interface SocketCAN disconnected."));
}

TEST_F(VQTCANV2DriverBus, SecondBusMasterIsASeriousFailureOnlyInNormalMode) {
    MakeConnectedDriver();
    LogSingleton* ls = LogSingleton::instance();
    struct Case { int id; uint8_t byte0; operationMode mode; bool alien; };
    const Case cases[] = {
        {0x20, 0x14, opModeCANBridge, false},
        {0x25, 0x14, opModeNormal, false},  // no module there
        {0x20, 0x15, opModeNormal, false},
        {0x20, 0xBB, opModeNormal, true},
        {0x60, 0xFE, opModeNormal, true},
        {0x10, 0x14, opModeNormal, true},
    };
    for (const Case& c : cases) {
        ls->set_opMode(c.mode);
        ls->set_seriousFailReason("na");
        log->Clear();
        can_frame f = HardwareTest::MakeFrame(c.id, {c.byte0, 0, 0, 0, 0, 0, 0, 0});
        SendToDriver(f);
        // A marker frame behind it proves the callback has seen the first.
        SendToDriver(Codec::EncodeErrorEvent(0x7F0, 0x70, 1, 2));
        ASSERT_TRUE(WaitUntil([&] { return !log->StartingWith("VQTCAN: I2TEvent on ID 0x7F0").empty(); }));
        EXPECT_EQ(ls->get_seriousFailReason() == "79 alien CAN msg", c.alien) << c.id << " " << int(c.byte0);
        EXPECT_EQ(log->Has("ERROR - alien CAN command detected - ABORT!"), c.alien);
        EXPECT_EQ(ls->get_opMode(), c.alien ? opModeSeriousFail : c.mode);
    }
}

TEST_F(VQTCANV2DriverBus, ErrorEventsAndStartupMessagesAreLogged) {
    MakeConnectedDriver();
    SendToDriver(Codec::EncodeErrorEvent(0x21, 0x75, 3000, 4500));
    SendToDriver(Codec::EncodeStartupMessage(0x31, 0x52, 0x0203));
    ASSERT_TRUE(WaitUntil([&] { return !log->StartingWith("VQTCAN: Received startup message").empty(); }));
    EXPECT_TRUE(log->Has(
        "VQTCAN: OvercurrentEvent on ID 0x21 (axis 2?)! AllowedCurrent: 3000 mA - MeasuredCurrent: 4500 mA"));
    const auto startup = log->StartingWith("VQTCAN: Received startup message on ID 0x31 (axis 3?): HW-ID '0x52' '");
    ASSERT_EQ(startup.size(), 1u);
    EXPECT_NE(startup[0].find("', version 0x203 (515)"), std::string::npos) << startup[0];
}

TEST_F(VQTCANV2DriverBus, UnknownErrorEventsAreThrottledPerIdentifier) {
    MakeConnectedDriver();
    const std::string plain = "VQTCAN: unknown error message 85 from ID 0x21 (axis 2?)! word1: 1 - word2: 2";
    for (int i = 0; i < 15; ++i) ASSERT_TRUE(Peer().Send(V2Test::ToCan(Codec::EncodeErrorEvent(0x21, 0x55, 1, 2))));
    // An event with byte 2 set is no event.
    can_frame ignored = V2Test::ToCan(Codec::EncodeErrorEvent(0x21, 0x55, 1, 2));
    ignored.data[2] = 1;
    ASSERT_TRUE(Peer().Send(ignored));
    ASSERT_TRUE(Peer().Send(V2Test::ToCan(Codec::EncodeErrorEvent(0x7F0, 0x70, 0, 0))));
    ASSERT_TRUE(WaitUntil([&] { return !log->StartingWith("VQTCAN: I2TEvent on ID 0x7F0").empty(); }));

    EXPECT_EQ(log->Count(plain), 1);
    const auto repeated = log->StartingWith(plain + " (repeated ");
    ASSERT_EQ(repeated.size(), 9u);
    EXPECT_EQ(repeated.front(), plain + " (repeated 2 times, omitting further messages)");
    EXPECT_EQ(repeated.back(), plain + " (repeated 10 times, omitting further messages)");
    EXPECT_EQ(driver->unknownErrors[0x21].count, 15);

    // Another code restarts the record; so does the same code after 10 s.
    const std::string other = "VQTCAN: unknown error message 86 from ID 0x21 (axis 2?)! word1: 1 - word2: 2";
    SendToDriver(Codec::EncodeErrorEvent(0x21, 0x56, 1, 2));
    ASSERT_TRUE(WaitUntil([&] { return log->Count(other) == 1; }));
    ASSERT_TRUE(Peer().Send(V2Test::ToCan(Codec::EncodeErrorEvent(0x21, 0x56, 1, 2))));
    ASSERT_TRUE(WaitUntil([&] { return log->Has(other + " (repeated 2 times, omitting further messages)"); }));
    TestClock::Advance(11000);
    SendToDriver(Codec::EncodeErrorEvent(0x21, 0x56, 1, 2));
    ASSERT_TRUE(WaitUntil([&] { return log->Count(other) == 2; }));
    SendToDriver(Codec::EncodeErrorEvent(0x21, 0x55, 1, 2));
    ASSERT_TRUE(WaitUntil([&] { return log->Count(plain) == 2; }));
}

TEST_F(VQTCANV2DriverBus, OverlappingSequencesResumeCyclicSendingOnlyAfterTheLast) {
    MakeConnectedDriver(true);
    // A second sequence (as from another thread) runs inside the first one's wait.
    bool nested = false;
    bool cyclicAfterNested = true;
    driver->SetSleepFunction([&](float) {
        if (nested) return;
        nested = true;
        driver->ResetError();
        cyclicAfterNested = driver->cyclicSending.load();
    });
    driver->EnableMotors(true);
    EXPECT_FALSE(cyclicAfterNested) << "the first sequence was still sending";
    EXPECT_TRUE(driver->cyclicSending.load());
}

TEST_F(VQTCANV2DriverBus, CommandSequencesSendTheirFrames) {
    MakeConnectedDriver(true);
    std::vector<bool> cyclicDuringSleep;
    driver->SetSleepFunction([&](float) { cyclicDuringSleep.push_back(driver->cyclicSending.load()); });

    driver->ResetError();
    auto frames = ReceiveFrames(7);
    ASSERT_EQ(frames.size(), 7u);
    EXPECT_EQ(Bytes(frames[0]), (std::vector<int>{0x01, 0x06}));
    EXPECT_EQ(static_cast<int>(frames[6].can_id), 0x70);  // DIO modules too

    driver->EnableMotors(true);
    driver->EnableMotors(false);
    frames = ReceiveFrames(14);
    ASSERT_EQ(frames.size(), 14u);
    EXPECT_EQ(Bytes(frames[0]), (std::vector<int>{0x01, 0x09}));
    EXPECT_EQ(Bytes(frames[7]), (std::vector<int>{0x01, 0x0A}));

    driver->AlignMotors();
    frames = ReceiveFrames(12);
    ASSERT_EQ(frames.size(), 12u);
    EXPECT_EQ(Bytes(frames[11]), (std::vector<int>{0x01, 0x0C, 0x3C, 0x96, 0x64, 0x32}));
    EXPECT_EQ(static_cast<int>(frames[11].can_id), 0x60);
    EXPECT_TRUE(log->Has("VQTCAN2: Starting to align torque motors"));
    EXPECT_TRUE(log->Has("VQTCAN2: Aligning motor  5"));

    driver->SetToZeroPos(1);
    frames = ReceiveFrames(2);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(static_cast<int>(frames[0].can_id), 0x20);
    EXPECT_EQ(Bytes(frames[1]), (std::vector<int>{0x01, 0x08, 0x7D, 0x00}));
    EXPECT_TRUE(log->Has("ProtocolVQTCANV2: SetToZeroPos joint 1 started..."));
    EXPECT_TRUE(log->Has("ProtocolVQTCANV2: Setting joint 1 to zero pos"));

    driver->RestartMotorController(2);
    frames = ReceiveFrames(2);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(Bytes(frames[0]), (std::vector<int>{0x01, 0xCF}));
    EXPECT_TRUE(log->Has("Sent restart request to motor controller 2"));

    driver->RestartModules();
    EXPECT_EQ(WithId(ReceiveFrames(12), 0x70).size(), 0u);  // not the DIO module

    // Referencing only starts on a module without error.
    driver->ReferenceSingleJoint(3);
    EXPECT_TRUE(log->Has("VQTCAN2: Can not reference joint 3, error code 256"));
    driver->jointData[3].errorCode = 0;
    driver->ReferenceSingleJoint(3);
    frames = ReceiveFrames(2);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(Bytes(frames[0]), (std::vector<int>{0x01, 0x0B}));
    EXPECT_EQ(static_cast<int>(frames[0].can_id), 0x40);
    EXPECT_TRUE(driver->IsReferencing());
    EXPECT_TRUE(log->Has("VQTCAN2: Starting to reference joint  3"));

    EXPECT_FALSE(cyclicDuringSleep.empty());
    EXPECT_TRUE(std::none_of(cyclicDuringSleep.begin(), cyclicDuringSleep.end(), [](bool b) { return b; }));
    EXPECT_TRUE(driver->cyclicSending.load());
}

TEST_F(VQTCANV2DriverBus, OutOfRangeIndexesAreIgnored) {
    MakeConnectedDriver(true);
    driver->SetSleepFunction([](float) {});
    int value = 1234;
    driver->GetDigitalIO(-1, &value);
    driver->GetDigitalIO(7, &value);   // beyond the modules on the bus
    driver->GetDigitalIO(16, &value);
    EXPECT_EQ(value, 1234);
    driver->SetIO(-1, 0, true);
    driver->SetIO(16, 0, true);
    driver->SetIO(0, 8, true);
    driver->SetRailIO(5, 0, true);
    driver->SetRailIO(-1, 0, true);
    driver->SetRailIO(0, 7, true);
    for (int b : driver->digitalOutputBytes) EXPECT_EQ(b, 0);
    for (int b : driver->railOutputBytes) EXPECT_EQ(b, 0);
    driver->ReferenceSingleJoint(-1);
    driver->ReferenceSingleJoint(6);  // the DIO module
    driver->ReferenceSingleJoint(40);
    driver->SetToZeroPos(-1);
    driver->SetToZeroPos(6);
    driver->RestartMotorController(-3);
    driver->RestartMotorController(6);
    driver->SetJointMode(-1, Hardware::JointModeTorque);
    driver->SetJointMode(16, Hardware::JointModeTorque);
    EXPECT_TRUE(ReceiveFrames(1, 100).empty());
}

TEST_F(VQTCANV2DriverBus, CommandsBeforeConnectingAreRefused) {
    MakeDriver(3, false);
    driver->SetToZeroPos(0);
    EXPECT_TRUE(log->Has("ProtocolVQTCANV2: Can not set to zero pos before connecting"));
    driver->RestartMotorController(0);
    EXPECT_TRUE(log->Has("Can not restart motor controller before connecting."));
    driver->SetIO(0, 1, true);
    EXPECT_EQ(driver->digitalOutputBytes[0], 0);
}

TEST_F(VQTCANV2DriverBus, DigitalInputsOfModulesAndDIORail) {
    MakeConnectedDriver(true);
    SendStatus(0x70, 0, 0, 0, 0x45);
    SendStatus(0x20, 0, 0, 0, 0x03);
    driver->SetJoints(state);
    int value = 0;
    driver->GetDigitalIO(1, &value);
    EXPECT_EQ(value, 3);
    bool inputs[64] = {};
    driver->GetDigitalIORail(inputs);
    for (int i = 0; i < 64; ++i) EXPECT_EQ(inputs[i], i == 20 || i == 22 || i == 26) << i;
}
