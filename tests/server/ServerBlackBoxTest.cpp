// The controller program from outside, with a remote client: the six-axis
// sample on the simulated bus, its server on a free port.

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
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

}  // namespace
