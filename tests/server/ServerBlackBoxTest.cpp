// The controller program from outside, with a remote client: the six-axis
// sample on the simulated bus, its server on a free port.

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "controller/RobotMasterSimBus.h"
#include "server/ServerTestSupport.h"

namespace {

using namespace std::chrono_literals;

TEST(ServerBlackBoxTest, ClientFollowsTheRobotAndTheServerEndsWithTheProgram) {
    SimBusTest::Sample sample;
    sample.StartBus();
    const int port = TestSupport::FreeLoopbackPort();
    ASSERT_NE(port, 0);
    SimBusTest::Controller korvella(sample, {"KORVELLA_HXP_PORT=" + std::to_string(port)});

    ServerTest::Client client;
    ASSERT_TRUE(ServerTest::WaitFor([&]() { return client.Connect(port); }, 40s)) << "no listener on the port";
    EXPECT_GE(client.NextStartingWith("CMD Active true", 40s).counter, 0);
    EXPECT_GE(client.NextStartingWith("MESSAGE Client accepted!", 20s).counter, 0);

    // An acting command goes to the main loop.
    ASSERT_TRUE(client.SendFrame(5, "CMD Reset"));
    EXPECT_EQ(client.NextStartingWith("CMDACK", 20s).body, "CMDACK 5");
    EXPECT_TRUE(korvella.WaitForMessage("HXP-Server: Reset joints"));

    // The E-stop of the main I/O module shows in the status lines once the bus is up.
    ASSERT_TRUE(korvella.WaitForMessage("***************** Connecting CAN bus... ******************"));
    sample.Bus().Line("estop on");
    bool stopped = false;
    ServerTest::WaitFor(
        [&]() {
            const ServerTest::Frame status = client.NextStartingWith("STATUS", 1s);
            stopped = status.body.find(" ESTOP 1 ") != std::string::npos;
            return stopped;
        },
        30s);
    EXPECT_TRUE(stopped) << "no status line with ESTOP 1";

    // SIGTERM with a client connected: the server is stopped and joined before the program ends.
    korvella.Stop();
    EXPECT_TRUE(client.WaitClosed(5s));
    EXPECT_GE(korvella.Count("ComServerManager: Stopped"), 1);
}

// The sample's start program run by a remote client: the acting commands go
// through the main loop, and the interpreter's events and run state come back.
TEST(ServerBlackBoxTest, RemoteClientRunsTheProgramAndSeesItsEvents) {
    SimBusTest::Sample sample;
    sample.EditProject([](tinyxml2::XMLElement* project) {
        tinyxml2::XMLElement* sequence = project->FirstChildElement("PLCInterfaceRefSequence");
        for (int i = 0; i < 9; ++i) sequence->SetAttribute(("RefDelay" + std::to_string(i)).c_str(), 0);
    });
    sample.StartBus();
    const int port = TestSupport::FreeLoopbackPort();
    ASSERT_NE(port, 0);
    SimBusTest::Controller korvella(sample, {"KORVELLA_HXP_PORT=" + std::to_string(port)});
    ASSERT_TRUE(korvella.WaitForMessage("ProtocolVQTCANV2: Connection succeeded"));

    ServerTest::Client client;
    ASSERT_TRUE(ServerTest::WaitFor([&]() { return client.Connect(port); }, 40s));
    // No program runs yet.
    EXPECT_EQ(client.NextStartingWith("RUNSTATE", 20s).body.rfind("RUNSTATE Demo.xml 18 ", 0), 0u);

    ASSERT_TRUE(client.SendFrame(1, "CMD Enable"));
    EXPECT_EQ(client.NextStartingWith("CMDACK", 20s).body, "CMDACK 1");
    ASSERT_TRUE(korvella.WaitForMessage("RobotMaster: Enabling Motors"));
    // Referencing needs the motors on: wait for a status line without error.
    ASSERT_TRUE(ServerTest::WaitFor(
        [&]() { return client.NextStartingWith("STATUS", 1s).body.find(" ERROR NoError ") != std::string::npos; },
        60s));
    ASSERT_TRUE(client.SendFrame(2, "CMD ReferenceAllJoints"));
    EXPECT_EQ(client.NextStartingWith("CMDACK", 20s).body, "CMDACK 2");
    ASSERT_TRUE(korvella.WaitForLastJointReferencing()) << korvella.Tail();

    // Started once referencing is done.
    bool started = false;
    ServerTest::WaitFor(
        [&]() {
            client.SendFrame(3, "CMD StartProgram");
            started = client.NextStartingWith("EXECACK", 2s).counter >= 0;
            return started;
        },
        90s);
    ASSERT_TRUE(started) << "no EXECACK after StartProgram";
    bool running = false;
    ServerTest::WaitFor(
        [&]() {
            const std::string line = client.NextStartingWith("RUNSTATE", 2s).body;
            running = line.size() > 4 && line.compare(line.size() - 4, 4, " 2 1") == 0;
            return running;
        },
        30s);
    EXPECT_TRUE(running) << "RUNSTATE never showed the program replaying";

    // Each new command of the running program is reported too.
    EXPECT_GE(client.NextStartingWith("EXECACK", 20s).counter, 0);
    korvella.Stop();
}


// A client that floods the server with frames too long to read: the fault is logged
// once and then as a count, so the log files keep the start-up lines, and the other
// client is served throughout.
TEST(ServerBlackBoxTest, AFloodOfOversizedFramesIsLoggedOnceAndThenCountedAndTheLogKeepsItsHistory) {
    SimBusTest::Sample sample;
    sample.StartBus();
    const int port = TestSupport::FreeLoopbackPort();
    ASSERT_NE(port, 0);
    SimBusTest::Controller korvella(sample, {"KORVELLA_HXP_PORT=" + std::to_string(port)});
    ServerTest::Client active;
    ASSERT_TRUE(ServerTest::WaitFor([&]() { return active.Connect(port); }, 40s)) << "no listener on the port";
    EXPECT_GE(active.NextStartingWith("CMD Active true", 40s).counter, 0);
    // Framing comes before the role: a passive client is enough.
    ServerTest::Client flooder;
    ASSERT_TRUE(flooder.Connect(port));
    ASSERT_TRUE(korvella.WaitForMessage("ComServerManager: Client connected as passive"));

    const std::string oversized = "HXPSTART 1 CMD Reset " + std::string(4000, 'x');
    std::string burst;
    for (int i = 0; i < 16; ++i) burst += oversized;
    const auto floodEnd = std::chrono::steady_clock::now() + 3s;
    long long frames = 0;
    while (std::chrono::steady_clock::now() < floodEnd && flooder.Send(burst)) frames += 16 * 4;
    EXPECT_GT(frames, 1000) << "the flood hardly began";
    // A whole frame at the end: the flooder stays connected, and its count is due later.
    ASSERT_TRUE(flooder.Send("HXPSTART 2 CMD GetActive HXPEND"));
    ASSERT_TRUE(active.SendFrame(7, "CMD GetVersion"));
    EXPECT_GE(active.NextStartingWith("INFO Version", 20s).counter, 0) << "the other client is not served";
    // The count follows within a few seconds.
    const std::string fault = "HXP-Server: Read buffer filled without HXPEND token, skipping message";
    EXPECT_TRUE(ServerTest::WaitFor([&]() { return !korvella.StartingWith(fault + " (").empty(); }, 20s))
        << "no count of the repeated fault: " << korvella.Tail();

    std::string logs;
    for (int i = 1; i <= 5; ++i) {
        char name[32];
        std::snprintf(name, sizeof(name), "logMessages%02d.txt", i);
        std::ifstream in(sample.File(name));
        logs += std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    EXPECT_NE(logs.find("VQT - Korvella"), std::string::npos) << "the start-up lines were rotated away";
    std::size_t lines = 0;
    for (std::size_t at = logs.find(fault); at != std::string::npos; at = logs.find(fault, at + 1)) ++lines;
    EXPECT_GE(lines, 1u);
    EXPECT_LE(lines, 4u) << "the fault was logged " << lines << " times";
}

}  // namespace
