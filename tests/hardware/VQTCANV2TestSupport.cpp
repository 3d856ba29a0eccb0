#include "hardware/VQTCANV2TestSupport.h"

#include "common/LogSingleton.h"
#include "korvella-cansim/SimFrames.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

namespace V2Test {

namespace {

std::atomic<int64_t> g_ClockOffsetNs{0};

// No test of this binary may ever run a real power-off: from the start the
// command runner refuses everything unless a test records commands.
struct RefuseCommands {
    RefuseCommands() {
        CommandRunner::SetRunFunction([](const std::string&) { return -1; });
    }
} g_RefuseCommands;

}  // namespace

timespec TestClock::Now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const int64_t ns = static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec + g_ClockOffsetNs.load();
    ts.tv_sec = static_cast<time_t>(ns / 1000000000);
    ts.tv_nsec = static_cast<long>(ns % 1000000000);
    return ts;
}

void TestClock::Advance(int ms) { g_ClockOffsetNs += static_cast<int64_t>(ms) * 1000000; }

void TestClock::Reset() { g_ClockOffsetNs = 0; }

RunnerCapture::RunnerCapture(int result) : m_Shared(std::make_shared<Shared>()) {
    std::shared_ptr<Shared> shared = m_Shared;
    CommandRunner::SetRunFunction([shared, result](const std::string& command) {
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->commands.push_back(command);
        return result;
    });
}

RunnerCapture::~RunnerCapture() {
    // Nothing may reach a real shell after a test: a refusing runner stays.
    CommandRunner::SetRunFunction([](const std::string&) { return -1; });
}

std::vector<std::string> RunnerCapture::Commands() const {
    std::lock_guard<std::mutex> lock(m_Shared->mutex);
    return m_Shared->commands;
}

void VQTCANV2Fixture::SetUp() {
    TestClock::Reset();
    root = std::make_unique<TestSupport::ScratchRoot>();
    log = std::make_unique<HardwareTest::LogCapture>();
    LogSingleton::instance()->set_opMode(opModeNormal);
    LogSingleton::instance()->set_seriousFailReason("na");
    TestSupport::CopyFixture("v2-robot.xml", RobotFilePath());
    std::string error;
    ASSERT_TRUE(hub.Start(SocketPath(), std::string(), &error)) << error;
}

void VQTCANV2Fixture::LetInFlightFramesArrive() { std::this_thread::sleep_for(std::chrono::milliseconds(50)); }

void VQTCANV2Fixture::TearDown() {
    driver.reset();
    peer.reset();
    hub.Stop();
    sim.reset();
    LogSingleton::instance()->set_opMode(opModeNormal);
    LogSingleton::instance()->set_seriousFailReason("na");
    log.reset();
    root.reset();
    TestClock::Reset();
}

void VQTCANV2Fixture::WriteRobotFile(const std::function<void(tinyxml2::XMLDocument&)>& edit) {
    tinyxml2::XMLDocument doc;
    ASSERT_EQ(doc.LoadFile(TestSupport::FixturePath("v2-robot.xml").c_str()), tinyxml2::XML_SUCCESS);
    edit(doc);
    ASSERT_EQ(doc.SaveFile(RobotFilePath().c_str()), tinyxml2::XML_SUCCESS);
}

void VQTCANV2Fixture::MakeDriver(int protocolVersion, bool connect) {
    driver = std::make_unique<Hardware::HardwareProtocolVQTCANV2>(nullptr, &TestClock::Now);
    driver->protocolVersion = protocolVersion;
    driver->canInterface.SetSimulatedBus(SocketPath());
    driver->Init("testbot", "SixAxis", RobotFilePath());
    if (connect) {
        ASSERT_TRUE(driver->Connect());
    }
}

CanSim::SimFaultChannel& VQTCANV2Fixture::Simulate(const std::vector<int>& dioModuleIds) {
    CanSim::SimRobotConfig config;
    config.dioModuleIds = dioModuleIds;
    std::string error;
    EXPECT_TRUE(CanSim::SimRobotConfig::Load(RobotFilePath(), config, error)) << error;
    sim = std::make_unique<CanSim::SimFaultChannel>(hub);
    EXPECT_TRUE(sim->Populate(config, error)) << error;
    CanSim::SimJointModuleV2::Timing timing;
    timing.referencingMs = 30;
    timing.alignMs = 20;
    timing.restartMs = 20;
    timing.temperaturePeriodMs = 20;
    sim->SetJointTiming(timing);
    return *sim;
}

CanSim::Peer& VQTCANV2Fixture::Peer() {
    if (!peer) {
        const int before = hub.PeerCount();
        peer = std::make_unique<CanSim::Peer>();
        EXPECT_TRUE(peer->Connect(SocketPath())) << std::strerror(errno);
        EXPECT_TRUE(WaitUntil([&] { return hub.PeerCount() > before; }));
    }
    return *peer;
}

void VQTCANV2Fixture::Cycle() {
    driver->GetConnectionStatus();
    driver->GetMotorEnabled();
    lastShortError = driver->GetErrorShort();
    driver->GetErrorHexCode(state.jointErrorCodes);
    driver->GetCurrentValues(state.jointCurrents);
    driver->SetJoints(state);
    driver->GetJoints(&state);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void VQTCANV2Fixture::Cycles(int n) {
    for (int i = 0; i < n; ++i) Cycle();
}

bool VQTCANV2Fixture::CycleUntil(const std::function<bool()>& pred, int maxMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxMs);
    while (std::chrono::steady_clock::now() < until) {
        Cycle();
        if (pred()) return true;
    }
    return pred();
}

bool VQTCANV2Fixture::WaitUntil(const std::function<bool()>& pred, int maxMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxMs);
    while (std::chrono::steady_clock::now() < until) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return pred();
}

std::vector<can_frame> VQTCANV2Fixture::ReceiveFrames(size_t count, int maxMs) {
    std::vector<can_frame> frames;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxMs);
    can_frame frame;
    while (frames.size() < count && std::chrono::steady_clock::now() < until) {
        if (Peer().Receive(frame, 10)) frames.push_back(frame);
    }
    // Whatever else is already there.
    while (Peer().Receive(frame, 0)) frames.push_back(frame);
    return frames;
}

std::vector<can_frame> VQTCANV2Fixture::ReceiveWithId(int id, size_t count, int maxMs) {
    std::vector<can_frame> frames;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxMs);
    can_frame frame;
    while (frames.size() < count && std::chrono::steady_clock::now() < until) {
        if (Peer().Receive(frame, 10) && static_cast<int>(frame.can_id) == id) frames.push_back(frame);
    }
    return frames;
}

std::vector<can_frame> VQTCANV2Fixture::WithId(const std::vector<can_frame>& frames, int id) {
    std::vector<can_frame> out;
    for (const can_frame& f : frames)
        if (static_cast<int>(f.can_id) == id) out.push_back(f);
    return out;
}

void VQTCANV2Fixture::SendToDriver(const can_frame& frame) {
    ASSERT_TRUE(Peer().Send(frame));
    const bool arrived = WaitUntil([&] {
        int dlc = 0;
        unsigned char data[8];
        const int age = driver->canInterface.GetLastMessage(static_cast<int>(frame.can_id), &dlc, data, nullptr);
        return dlc == frame.can_dlc && std::memcmp(data, frame.data, 8) == 0 && age < 5000;
    });
    ASSERT_TRUE(arrived);
}

void VQTCANV2Fixture::SendToDriver(const Hardware::VQTCANV2Codec::Frame& frame) { SendToDriver(ToCan(frame)); }

std::vector<int> Bytes(const can_frame& frame) {
    return std::vector<int>(frame.data, frame.data + frame.can_dlc);
}

can_frame ToCan(const Hardware::VQTCANV2Codec::Frame& frame) { return CanSim::ToCanFrame(frame); }

}  // namespace V2Test
