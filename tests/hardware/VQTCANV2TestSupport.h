#pragma once
// Shared by the joint-module protocol v2/v3 tests: a clock that tests can
// move forward, a command runner that records instead of running, and a
// fixture with a scratch root, a hub and a driver connected to it.

#include "controller/CommandRunner.h"
#include "datatypes/RobotState.h"
#include "hardware/HardwareProtocolVQTCANV2.h"
#include "hardware/HardwareTestSupport.h"
#include "korvella-cansim/Hub.h"
#include "korvella-cansim/Peer.h"
#include "korvella-cansim/SimFaultChannel.h"

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace V2Test {

// Monotonic time plus an offset that tests advance to age frames.
class TestClock {
public:
    static timespec Now();
    static void Advance(int ms);
    static void Reset();
};

// Records every command instead of running it, while it lives.
class RunnerCapture {
public:
    explicit RunnerCapture(int result = 0);
    ~RunnerCapture();
    std::vector<std::string> Commands() const;

private:
    struct Shared {
        std::mutex mutex;
        std::vector<std::string> commands;
    };
    std::shared_ptr<Shared> m_Shared;
};

// Scratch root with Data/Robots/v2-robot.xml, a hub on a socket in it, and
// a driver (built on demand) that runs cycles with a robot state.
class VQTCANV2Fixture : public ::testing::Test {
protected:
    static constexpr const char* kRobotFile = "Data/Robots/v2-robot.xml";

    void SetUp() override;
    void TearDown() override;

    std::string SocketPath() const { return root->File("bus.sock"); }
    std::string RobotFilePath() const { return root->File(kRobotFile); }
    // The fixture robot file, changed by edit, written to the robot file path.
    void WriteRobotFile(const std::function<void(tinyxml2::XMLDocument&)>& edit);
    // Driver on the test clock, initialised from the robot file; connected when asked.
    void MakeDriver(int protocolVersion = 3, bool connect = true);
    // The simulated modules of the robot file (and DIO modules) on the hub, with short timings.
    CanSim::SimFaultChannel& Simulate(const std::vector<int>& dioModuleIds = {});
    // A plain bus participant that sees what the driver sends.
    CanSim::Peer& Peer();

    // One robot-thread cycle: status read-outs, SetJoints, GetJoints, then 1 ms.
    void Cycle();
    // Replies already on their way when a module was silenced would be
    // stamped with an advanced test clock and look fresh: let them land first.
    static void LetInFlightFramesArrive();
    void Cycles(int n);
    // Runs cycles until pred holds; false when it did not within the bound.
    bool CycleUntil(const std::function<bool()>& pred, int maxMs = HardwareTest::kWaitMs);
    // Waits (without cycles) until pred holds.
    static bool WaitUntil(const std::function<bool()>& pred, int maxMs = HardwareTest::kWaitMs);

    // Frames the peer has received so far, waiting up to maxMs for at least count.
    std::vector<can_frame> ReceiveFrames(size_t count, int maxMs = HardwareTest::kWaitMs);
    // Frames with this identifier, waiting up to maxMs for at least count of them.
    std::vector<can_frame> ReceiveWithId(int id, size_t count, int maxMs = HardwareTest::kWaitMs);
    // Only the frames with this identifier.
    static std::vector<can_frame> WithId(const std::vector<can_frame>& frames, int id);
    // Sends a frame from the peer and waits until the driver's table holds it.
    void SendToDriver(const can_frame& frame);
    void SendToDriver(const Hardware::VQTCANV2Codec::Frame& frame);

    std::unique_ptr<TestSupport::ScratchRoot> root;
    CanSim::Hub hub;
    std::unique_ptr<HardwareTest::LogCapture> log;
    std::unique_ptr<Hardware::HardwareProtocolVQTCANV2> driver;
    std::unique_ptr<CanSim::SimFaultChannel> sim;
    std::unique_ptr<CanSim::Peer> peer;
    DataTypes::RobotState state;
    std::string lastShortError;
};

std::vector<int> Bytes(const can_frame& frame);
can_frame ToCan(const Hardware::VQTCANV2Codec::Frame& frame);

}  // namespace V2Test
