// A stop from any source wins over a start a remote client queued before it:
// the controller program on the simulated bus, a client that queues a start
// behind other commands, and a stop from the PLC by Modbus or by a digital
// input while those commands still wait. The stop also clears the client's
// jog values, so nothing moves after it.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "server/ModbusTestSupport.h"
#include "server/RemoteRobotSupport.h"

namespace {

using namespace std::chrono_literals;
using RemoteRobotTest::RemoteRobot;
using ServerTest::Client;
using ServerTest::Frame;
using RemoteRobotTest::ExpectStandingStill;
using RemoteRobotTest::SetPointsSince;
using ServerTest::WaitFor;

// The PLC interface's play input: a rising edge stops a running program.
constexpr int PlayInput = 21;

// The run state of a "RUNSTATE" line; -1 for other lines.
int RunState(const std::string& body) {
    int runState = -1, replayMode = -1;
    return RemoteRobotTest::ReadRunState(body, runState, replayMode) ? runState : -1;
}

class RemoteStopBlackBox : public ::testing::Test {
public:
    RemoteStopBlackBox()
        : modbusPort(TestSupport::FreeLoopbackPort()),
          robot([this](tinyxml2::XMLElement* project) {
              tinyxml2::XMLElement* modbus =
                  project->FirstChildElement("Environment")->FirstChildElement("ModbusServer");
              modbus->SetAttribute("Active", "True");
              modbus->SetAttribute("Port", modbusPort);
              project->FirstChildElement("PLCInterface")->SetAttribute("Active", "true");
              project->FirstChildElement("PLCInterfaceIn")->SetAttribute("PlayNumber", PlayInput);
          }) {}

    // Starts the program and waits until a status line shows it running.
    bool StartRunning(int& counter) {
        return WaitFor([&]() {
            client.SendFrame(++counter, "CMD StartProgram");
            const auto end = std::chrono::steady_clock::now() + 2s;
            while (std::chrono::steady_clock::now() < end) {
                KeepAlive(counter);
                if (RunState(client.NextStartingWith("RUNSTATE", 500ms).body) == 2) return true;
            }
            return false;
        }, 90s);
    }
    // Jogs (or, with all zeros, asks for no jog): from now on the alive watchdog runs.
    void Jog(int& counter, const std::string& values) {
        ASSERT_TRUE(client.SendFrame(++counter, "ALIVEJOG " + values));
        lastAlive = std::chrono::steady_clock::now();
    }
    // A client that has jogged goes on telling the server it is alive.
    void KeepAlive(int& counter) {
        if (lastAlive == std::chrono::steady_clock::time_point{} ||
            std::chrono::steady_clock::now() - lastAlive < 500ms)
            return;
        Jog(counter, "0 0 0 0 0 0 0 0 0");
    }

    int modbusPort;
    RemoteRobot robot;
    Client client;
    ModbusTest::Client plc;
    std::chrono::steady_clock::time_point lastAlive{};
};

struct StopSource {
    const char* name;
    std::function<void(RemoteStopBlackBox&)> stop;
};

TEST_F(RemoteStopBlackBox, AStopFromAnySourceWinsOverAStartQueuedBeforeItAndClearsTheJogValues) {
    ASSERT_NO_FATAL_FAILURE(robot.Connect(client));
    ASSERT_NO_FATAL_FAILURE(robot.EnableAndReference(client));
    ASSERT_TRUE(WaitFor([&]() { return plc.Connect(modbusPort); }, 40s)) << "no Modbus listener";

    const StopSource sources[] = {
        {"Modbus coil 124", [](RemoteStopBlackBox& t) { ASSERT_TRUE(t.plc.WriteCoils(124, {1})); }},
        {"Modbus run-state register", [](RemoteStopBlackBox& t) { ASSERT_TRUE(t.plc.WriteHolding(260, {0})); }},
        {"PLC play input", [](RemoteStopBlackBox& t) { t.robot.bus.Line("inputs 112 0x02"); }},
        {"console", [](RemoteStopBlackBox& t) { t.robot.korvella->Type("7"); }},
    };
    int counter = 100;
    // The coil and the input act on a rising edge.
    const auto rearm = [&]() {
        ASSERT_TRUE(plc.WriteCoils(124, {0}));
        robot.bus.Line("inputs 112 0x00");
    };
    for (const StopSource& source : sources) {
        SCOPED_TRACE(source.name);
        ASSERT_NO_FATAL_FAILURE(rearm());
        if (!StartRunning(counter)) FAIL() << "the program never ran" << robot.korvella->Tail();

        // Fifteen commands, a start and a direct move in one write, and the stop while they
        // still wait (the main loop takes one command a pass, the move waits for them).
        std::string bytes;
        for (int i = 0; i < 15; ++i) bytes += "HXPSTART " + std::to_string(++counter) + " CMD MotionTypeJoint HXPEND";
        const int start = ++counter;
        bytes += "HXPSTART " + std::to_string(start) + " CMD StartProgram HXPEND";
        const int move = ++counter;
        bytes += "HXPSTART " + std::to_string(move) + " CMD Move Joint 10 45 45 0 90 0 0 0 0 50 HXPEND";
        ASSERT_TRUE(client.Send(bytes));
        std::this_thread::sleep_for(200ms);
        ASSERT_NO_FATAL_FAILURE(source.stop(*this));

        // The client heard that its acknowledged start and its move were cancelled, and the
        // program stays stopped.
        std::string startReply, moveReply;
        int runState = -1;
        const auto limit = std::chrono::steady_clock::now() + 3s;
        while (std::chrono::steady_clock::now() < limit) {
            KeepAlive(counter);
            const Frame frame = client.Next(200ms);
            if (frame.body.rfind("CMDERROR " + std::to_string(start) + " ", 0) == 0) startReply = frame.body;
            if (frame.body.rfind("CMDACK " + std::to_string(move), 0) == 0 ||
                frame.body.rfind("CMDERROR " + std::to_string(move) + " ", 0) == 0)
                moveReply = frame.body;
            if (RunState(frame.body) >= 0) runState = RunState(frame.body);
        }
        EXPECT_EQ(startReply, "CMDERROR " + std::to_string(start) + " cancelled by a stop");
        EXPECT_EQ(moveReply, "CMDERROR " + std::to_string(move) + " cancelled by a stop");
        EXPECT_NE(runState, 2) << "the queued start ran after the stop";

        // A jog request while the program runs (it is refused then), then the stop: once braked,
        // nothing moves, the request is gone with the stop.
        ASSERT_NO_FATAL_FAILURE(rearm());
        if (!StartRunning(counter)) FAIL() << "the program never ran again" << robot.korvella->Tail();
        ASSERT_NO_FATAL_FAILURE(Jog(counter, "40 0 0 0 0 0 0 0 0"));
        std::this_thread::sleep_for(300ms);
        ASSERT_NO_FATAL_FAILURE(source.stop(*this));
        std::this_thread::sleep_for(800ms);
        const std::uintmax_t from = std::filesystem::file_size(robot.FrameLog());
        std::this_thread::sleep_for(1s);
        const auto setPoints = SetPointsSince(robot.FrameLog(), from);
        // Within the alive watchdog of the jog request: the client stays connected.
        ASSERT_NO_FATAL_FAILURE(Jog(counter, "0 0 0 0 0 0 0 0 0"));
        ExpectStandingStill(setPoints, "moved after the stop");
    }
}

}  // namespace
