#include "hardware/HardwareTestSupport.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace HardwareTest {

namespace {

struct Recorded {
    std::mutex mutex;
    std::condition_variable changed;
    int consumedId = -1;
    std::vector<ReceivedFrame> received;
    std::vector<ReceivedFrame> monitored;
};

Recorded& Recorder() {
    static Recorded* recorded = new Recorded();
    return *recorded;
}

ReceivedFrame Make(int id, int dlc, const unsigned char* data, timespec time) {
    ReceivedFrame frame;
    frame.id = id;
    frame.dlc = dlc;
    std::memcpy(frame.data, data, sizeof(frame.data));
    frame.time = time;
    return frame;
}

}  // namespace

void CallbackRecorder::Reset(int consumedId) {
    std::lock_guard<std::mutex> lock(Recorder().mutex);
    Recorder().received.clear();
    Recorder().monitored.clear();
    Recorder().consumedId = consumedId;
}

void CallbackRecorder::OnReceive(int id, int dlc, const unsigned char* data, long, timespec time) {
    Recorded& r = Recorder();
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        r.received.push_back(Make(id, dlc, data, time));
    }
    r.changed.notify_all();
}

bool CallbackRecorder::OnMonitor(int id, int dlc, const unsigned char* data, long, timespec time) {
    Recorded& r = Recorder();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.monitored.push_back(Make(id, dlc, data, time));
    return id == r.consumedId;
}

bool CallbackRecorder::WaitForReceived(int id, int firstByte) {
    Recorded& r = Recorder();
    std::unique_lock<std::mutex> lock(r.mutex);
    return r.changed.wait_for(lock, std::chrono::milliseconds(kWaitMs), [&] {
        return std::any_of(r.received.begin(), r.received.end(), [&](const ReceivedFrame& frame) {
            return frame.id == id && (firstByte < 0 || frame.data[0] == firstByte);
        });
    });
}

std::vector<ReceivedFrame> CallbackRecorder::Received() {
    std::lock_guard<std::mutex> lock(Recorder().mutex);
    return Recorder().received;
}

std::vector<ReceivedFrame> CallbackRecorder::Monitored() {
    std::lock_guard<std::mutex> lock(Recorder().mutex);
    return Recorder().monitored;
}

void SimBusTest::SetUp() {
    root = std::make_unique<TestSupport::ScratchRoot>();
    std::string error;
    ASSERT_TRUE(hub.Start(SocketPath(), root->File("frames.log"), &error)) << error;
    CallbackRecorder::Reset();
}

void SimBusTest::TearDown() {
    hub.Stop();
    LogSingleton::instance()->set_opMode(opModeNormal);
    root.reset();
}

std::unique_ptr<CanSim::Peer> SimBusTest::ConnectPeer() {
    const int before = hub.PeerCount();
    auto peer = std::make_unique<CanSim::Peer>();
    EXPECT_TRUE(peer->Connect(SocketPath())) << std::strerror(errno);
    WaitForPeers(before + 1);
    return peer;
}

void SimBusTest::WaitForPeers(int count) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (hub.PeerCount() < count && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_GE(hub.PeerCount(), count);
}

void SimBusTest::WaitForPeersAtMost(int count) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (hub.PeerCount() > count && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_LE(hub.PeerCount(), count);
}

std::unique_ptr<CanSim::Peer> ConnectPeer(const CanSim::Hub& hub, const std::string& socketPath) {
    const int before = hub.PeerCount();
    auto peer = std::make_unique<CanSim::Peer>();
    EXPECT_TRUE(peer->Connect(socketPath)) << std::strerror(errno);
    EXPECT_TRUE(WaitUntil([&] { return hub.PeerCount() > before; }));
    return peer;
}

bool WaitUntil(const std::function<bool()>& pred, int maxMs) {
    return RepeatUntil([] { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }, pred, maxMs);
}

bool RepeatUntil(const std::function<void()>& step, const std::function<bool()>& pred, int maxMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxMs);
    if (pred()) return true;
    while (std::chrono::steady_clock::now() < until) {
        step();
        if (pred()) return true;
    }
    return pred();
}

can_frame MakeFrame(canid_t id, std::initializer_list<unsigned char> bytes) {
    can_frame frame;
    std::memset(&frame, 0, sizeof(frame));
    frame.can_id = id;
    frame.can_dlc = static_cast<__u8>(bytes.size());
    std::copy(bytes.begin(), bytes.begin() + std::min<size_t>(bytes.size(), 8), frame.data);
    return frame;
}

can_frame MakeFrame(canid_t id, int dlc, unsigned char fill) {
    can_frame frame;
    std::memset(&frame, 0, sizeof(frame));
    frame.can_id = id;
    frame.can_dlc = static_cast<__u8>(dlc);
    std::memset(frame.data, fill, sizeof(frame.data));
    return frame;
}

}  // namespace HardwareTest
