#pragma once
// Shared by the hardware tests: a recorder for the CAN
// callbacks, and a simulated bus in a scratch directory.

#include "common/LogSingleton.h"
#include "korvella-cansim/Hub.h"
#include "korvella-cansim/Peer.h"
#include "support/LogCapture.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <linux/can.h>

#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace HardwareTest {

using TestSupport::LogCapture;


struct ReceivedFrame {
    int id = 0;
    int dlc = 0;
    unsigned char data[8] = {};
    timespec time{0, 0};
};

// What the receive and monitor callbacks of a CAN interface saw.
class CallbackRecorder {
public:
    // The monitor callback consumes frames of consumedId (none when negative).
    static void Reset(int consumedId = -1);
    static void OnReceive(int id, int dlc, const unsigned char* data, long reserved, timespec time);
    static bool OnMonitor(int id, int dlc, const unsigned char* data, long reserved, timespec time);
    // Waits (up to a generous bound) until the receive callback saw id, with
    // firstByte as its first data byte unless firstByte is negative.
    static bool WaitForReceived(int id, int firstByte = -1);
    static std::vector<ReceivedFrame> Received();
    static std::vector<ReceivedFrame> Monitored();
};

// A hub on a socket in a scratch directory, started for the test.
class SimBusTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::string SocketPath() const { return root->File("bus.sock"); }
    // A peer connected to the bus; waits until the hub has taken it on.
    std::unique_ptr<CanSim::Peer> ConnectPeer();
    void WaitForPeers(int count);
    // Waits until the hub has dropped closed connections down to count.
    void WaitForPeersAtMost(int count);

    std::unique_ptr<TestSupport::ScratchRoot> root;
    CanSim::Hub hub;
    LogCapture log;
};

can_frame MakeFrame(canid_t id, std::initializer_list<unsigned char> bytes);
can_frame MakeFrame(canid_t id, int dlc, unsigned char fill);

// Bound for waiting on something that is expected to happen.
constexpr int kWaitMs = 5000;

// A participant connected to the hub's socket, once the hub has taken it on.
std::unique_ptr<CanSim::Peer> ConnectPeer(const CanSim::Hub& hub, const std::string& socketPath);

// Polls pred every millisecond; false when it did not hold within maxMs.
bool WaitUntil(const std::function<bool()>& pred, int maxMs = kWaitMs);
// Runs step, then checks pred, until it holds; false when it did not within maxMs.
bool RepeatUntil(const std::function<void()>& step, const std::function<bool()>& pred, int maxMs = kWaitMs);

}  // namespace HardwareTest
