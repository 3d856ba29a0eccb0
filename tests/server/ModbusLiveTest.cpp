// The Modbus maps against the robot master of the six-axis sample on the
// simulated bus: module counts and codes, bus and motor state, referencing
// per module kind, as a PLC sees and drives them.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "PkgProgram/IPO.h"
#include "common/LogSingleton.h"
#include "common/PLCInterfaceSettings.h"
#include "controller/RobotMaster.h"
#include "controller/RobotMasterSimBus.h"
#include "controller/RobotMasterTestSupport.h"
#include "hardware/CANInterfaceSocketCAN.h"
#include "hardware/HardwareProtocol.h"
#include "controller/LiveRobotTest.h"
#include "server/ModbusServer.h"
#include "server/ModbusTestSupport.h"
#include "support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
using SimBusTest::WaitFor;

class ModbusLiveTest : public SimBusTest::LiveRobotTest {
protected:
    void SetUp() override {
        LiveRobotTest::SetUp();
        ReferenceSixJointsWithoutDelays();
        ASSERT_NO_FATAL_FAILURE(Start());
        ASSERT_NO_FATAL_FAILURE(ModbusTest::StartServer(server, rm.get(), client));
    }
    void TearDown() override {
        ModbusTest::StopServer(server, client);
        LiveRobotTest::TearDown();
    }
    // A coil pulse: 0 then 1, so the write is a rising edge whatever came before.
    void Pulse(int coil) {
        ASSERT_TRUE(client.WriteCoils(coil, {0}));
        ASSERT_TRUE(client.WriteCoils(coil, {1}));
    }

    Modbus::ModbusServer* server = Modbus::ModbusServer::Instance();
    ModbusTest::Client client;
};

TEST_F(ModbusLiveTest, ModulesBusMotorsAndReferencingAsThePlcSeesThem) {
    Hardware::HardwareProtocol* hw = rm->GetHardware();
    ASSERT_EQ(hw->robotJointCount, 6);
    ASSERT_EQ(hw->dioModuleCount, 1);
    EXPECT_EQ(client.Input(20, 5), (std::vector<uint16_t>{6, 0, 0, 0, 1}));
    EXPECT_EQ(client.Discrete(10, 5), (std::vector<uint8_t>{1, 0, 0, 0, 1}));
    EXPECT_EQ(client.Discrete(50, 1), (std::vector<uint8_t>{1})) << "bus connected";

    // Error codes per module: robot joints at 25.., the DIO module at 41, empty places 0.
    int codes[Hardware::HardwareProtocol::MaxModules] = {};
    hw->GetErrorHexCode(codes);
    const std::vector<uint16_t> errors = client.Input(25, 19);
    ASSERT_EQ(errors.size(), 19u);
    for (int k = 0; k < 6; ++k) EXPECT_EQ(errors[static_cast<std::size_t>(k)], static_cast<uint16_t>(codes[k])) << k;
    EXPECT_EQ(errors[16], static_cast<uint16_t>(codes[6])) << "DIO module";
    for (int a : {31, 34, 37, 42}) EXPECT_EQ(errors[static_cast<std::size_t>(a - 25)], 0) << a;

    // Reset and enable through coil 53, then disable through it.
    Pulse(52);
    Pulse(53);
    ASSERT_TRUE(WaitFor([&]() { return client.Discrete(53, 1) == std::vector<uint8_t>{1}; })) << "motors not enabled";
    Pulse(53);
    ASSERT_TRUE(WaitFor([&]() { return client.Discrete(53, 1) == std::vector<uint8_t>{0}; })) << "motors not disabled";

    // Tool and external-axis coils act only on modules of their kind: this robot has none.
    ClearMessages();
    for (int coil : {67, 68, 69, 70, 71, 72}) Pulse(coil);
    for (int joint = 7; joint <= 9; ++joint) EXPECT_FALSE(HasMessage("Ref Joint " + std::to_string(joint))) << joint;
    Pulse(61);
    EXPECT_TRUE(HasMessage("Ref Joint 1"));

    // Referencing all joints needs the motors on.
    Pulse(53);
    ASSERT_TRUE(WaitFor([&]() { return client.Discrete(53, 1) == std::vector<uint8_t>{1}; }));
    Pulse(60);
    EXPECT_TRUE(WaitFor([&]() {
        return client.Coils(60, 13) == std::vector<uint8_t>{1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0};
    }, 60s)) << "not referenced";
    EXPECT_EQ(client.Discrete(37, 8)[0], rm->GetRobotState().kinematicState == 0 ? 1 : 0);
}

// The robot program's events as a remote client receives them.
struct EventLog {
    static void Record(HXPEventType type, int, int, const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back(std::to_string(static_cast<int>(type)) + " " + text);
    }
    static std::vector<std::string> Take() {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<std::string> taken;
        taken.swap(events);
        return taken;
    }
    static std::mutex mutex;
    static std::vector<std::string> events;
};
std::mutex EventLog::mutex;
std::vector<std::string> EventLog::events;

std::vector<std::string> Without(const std::vector<std::string>& events, const std::string& type) {
    std::vector<std::string> kept;
    for (const std::string& e : events)
        if (e.rfind(type + " ", 0) != 0) kept.push_back(e);
    return kept;
}

TEST_F(ModbusLiveTest, StopsPausesAndStepsReadAsWhatTheyWere) {
    TestSupport::WriteFile(sample.File("Data/Programs/wait.xml"),
                           "<Program><Wait Nr=\"1\" Type=\"Time\" Seconds=\"60\"/></Program>");
    TestSupport::WriteFile(sample.File("Data/Programs/pause.xml"),
                           "<Program><Comment Nr=\"1\" Descr=\"c\"/><Pause Nr=\"2\"/>"
                           "<Wait Nr=\"3\" Type=\"Time\" Seconds=\"60\"/></Program>");
    TestSupport::WriteFile(sample.File("Data/Programs/steps.xml"),
                           "<Program><Comment Nr=\"1\" Descr=\"a\"/><Comment Nr=\"2\" Descr=\"b\"/>"
                           "<Wait Nr=\"3\" Type=\"Time\" Seconds=\"60\"/></Program>");
    ASSERT_NO_FATAL_FAILURE(ResetAndEnable());
    ASSERT_NO_FATAL_FAILURE(ReferenceAll());
    rm->ipoMain.hxpCallback = &EventLog::Record;
    const auto settle = [] { RobotMaster::wait(300); };  // many cycles: time to take a transient state for a pause

    // A stop by coil 124 of a running program: one end event, no pause, reason USER (0).
    ASSERT_EQ(rm->ipoMain.LoadProgramSynchronous("wait.xml", true), 0);
    Pulse(122);
    ASSERT_TRUE(WaitFor([&]() { return rm->ipoMain.GetRunState() == IPO::RunStateRunning; }));
    settle();
    EventLog::Take();
    ClearMessages();
    Pulse(124);
    ASSERT_TRUE(WaitFor([&]() { return rm->ipoMain.GetRunState() == IPO::RunStateIdle; }));
    settle();
    EXPECT_EQ(EventLog::Take(), std::vector<std::string>{"12 USER"});
    EXPECT_FALSE(HasMessage("Pausing Program"));
    EXPECT_EQ(client.Input1(266), 0);

    // The program pauses itself: one pause event, reason PROGRAM (2).
    ASSERT_EQ(rm->ipoMain.LoadProgramSynchronous("pause.xml", true), 0);
    EventLog::Take();
    Pulse(122);
    ASSERT_TRUE(WaitFor([&]() { return rm->ipoMain.GetRunState() == IPO::RunStatePaused; }));
    settle();
    EXPECT_EQ(Without(EventLog::Take(), "10"), std::vector<std::string>{"11 PROGRAM"});
    EXPECT_EQ(client.Input1(266), 2);
    Pulse(124);
    ASSERT_TRUE(WaitFor([&]() { return rm->ipoMain.GetRunState() == IPO::RunStateIdle; }));

    // Step mode: one pause event per step, reason REPLAY_STEP (3).
    ASSERT_EQ(rm->ipoMain.LoadProgramSynchronous("steps.xml", true), 0);
    rm->ipoMain.replayMode = IPO::ReplayStep;
    EventLog::Take();
    for (int step = 0; step < 2; ++step) {
        SCOPED_TRACE(step);
        Pulse(122);
        ASSERT_TRUE(WaitFor([&]() {
            return rm->ipoMain.GetRunState() == IPO::RunStatePaused && rm->ipoMain.currentCommand == step + 1;
        }));
        settle();
        EXPECT_EQ(Without(EventLog::Take(), "10"), std::vector<std::string>{"11 "});
        EXPECT_EQ(client.Input1(266), 3);
    }
    rm->ipoMain.replayMode = IPO::ReplayRepeat;
    Pulse(124);
    ASSERT_TRUE(WaitFor([&]() { return rm->ipoMain.GetRunState() == IPO::RunStateIdle; }));
    EXPECT_EQ(EventLog::Take(), std::vector<std::string>{"12 USER"});
    EXPECT_EQ(client.Input1(266), 0);
    rm->ipoMain.hxpCallback = nullptr;
}

}  // namespace
