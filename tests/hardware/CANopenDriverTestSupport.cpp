#include "hardware/CANopenDriverTestSupport.h"

#include "common/LogSingleton.h"

#include <chrono>
#include <cstring>
#include <thread>

namespace CANopenTest {

using V2Test::TestClock;

void DriverFixture::SetUp() {
    TestClock::Reset();
    root = std::make_unique<TestSupport::ScratchRoot>();
    log = std::make_unique<HardwareTest::LogCapture>();
    LogSingleton::instance()->set_opMode(opModeNormal);
    LogSingleton::instance()->set_seriousFailReason("na");
    TestSupport::CopyFixture("canopen-robot.xml", RobotFilePath());
    std::string error;
    ASSERT_TRUE(hub.Start(SocketPath(), std::string(), &error)) << error;
}

void DriverFixture::TearDown() {
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

void DriverFixture::EditBus(const std::function<void(tinyxml2::XMLElement* bus)>& edit) {
    tinyxml2::XMLDocument doc;
    ASSERT_EQ(doc.LoadFile(TestSupport::FixturePath("canopen-robot.xml").c_str()), tinyxml2::XML_SUCCESS);
    edit(doc.FirstChildElement("Robot")->FirstChildElement("BusConfiguration"));
    ASSERT_EQ(doc.SaveFile(RobotFilePath().c_str()), tinyxml2::XML_SUCCESS);
}

CanSim::SimFaultChannel& DriverFixture::Simulate(const std::vector<int>& ioNodes) {
    CanSim::SimRobotConfig config;
    config.dioModuleIds = ioNodes;
    std::string error;
    EXPECT_TRUE(CanSim::SimRobotConfig::Load(RobotFilePath(), config, error)) << error;
    sim = std::make_unique<CanSim::SimFaultChannel>(hub);
    EXPECT_TRUE(sim->Populate(config, error)) << error;
    for (const auto& n : sim->Nodes()) {
        if (auto d = std::dynamic_pointer_cast<CanSim::SimCANopenDrive>(n)) d->SetHomingDelayMs(30);
    }
    return *sim;
}

void DriverFixture::MakeDriver(Hardware::CANopenProfile profile) {
    driver = std::make_unique<Hardware::HardwareProtocolCANopen>(nullptr, profile, &TestClock::Now);
    driver->canInterface.SetSimulatedBus(SocketPath());
    // The sequences keep their order; long waits shrink, short ones stay so answers can land.
    driver->SetSleepFunction([](float ms) { Hardware::HardwareProtocol::wait(ms > 20.0f ? 20.0f : ms); });
    driver->Init("testbot", "KorvellaSix", RobotFilePath());
}

void DriverFixture::ConnectDriver(const std::vector<int>& ioNodes) {
    if (!driver) MakeDriver();
    for (int id : ioNodes) driver->InitDIOModules(id);
    Peer();
    ASSERT_TRUE(driver->Connect());
    // Every device's first answers are in.
    ASSERT_TRUE(CycleUntil([&] {
        for (int i = 0; i < driver->moduleCount; ++i)
            if (driver->jointData[i].kind == 0 && State(i) != "ready_to_switch_on") return false;
        return true;
    }));
}

CanSim::Peer& DriverFixture::Peer() {
    if (!peer) peer = HardwareTest::ConnectPeer(hub, SocketPath());
    return *peer;
}

void DriverFixture::Cycle() {
    driver->SendSync();
    driver->GetMotorEnabled();
    lastShortError = driver->GetErrorShort();
    driver->GetErrorHexCode(state.jointErrorCodes);
    driver->GetCurrentValues(state.jointCurrents);
    driver->SetJoints(state);
    driver->GetJoints(&state);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

bool DriverFixture::CycleUntil(const std::function<bool()>& pred, int maxMs) {
    return HardwareTest::RepeatUntil([&] { Cycle(); }, pred, maxMs);
}

bool DriverFixture::WaitUntil(const std::function<bool()>& pred, int maxMs) {
    return HardwareTest::WaitUntil(pred, maxMs);
}

std::vector<can_frame> DriverFixture::Drain(int quietMs) {
    std::vector<can_frame> frames;
    can_frame f;
    while (Peer().Receive(f, quietMs)) frames.push_back(f);
    return frames;
}

std::vector<int> DriverFixture::Controlwords(const std::vector<can_frame>& frames, int node) {
    std::vector<int> out;
    for (uint32_t v : Downloads(frames, node, 0x6040, 0)) out.push_back(static_cast<int>(v));
    return out;
}

std::vector<uint32_t> DriverFixture::Downloads(const std::vector<can_frame>& frames, int node, int index,
                                               int subindex) {
    std::vector<uint32_t> out;
    for (const can_frame& f : frames) {
        if (static_cast<int>(f.can_id) != 0x600 + node || f.can_dlc != 8 || (f.data[0] & 0xE0) != 0x20) continue;
        if ((f.data[1] | (f.data[2] << 8)) != index || f.data[3] != subindex) continue;
        uint32_t v = 0;
        std::memcpy(&v, f.data + 4, 4);
        out.push_back(v);
    }
    return out;
}

std::vector<can_frame> DriverFixture::WithId(const std::vector<can_frame>& frames, int id) {
    std::vector<can_frame> out;
    for (const can_frame& f : frames)
        if (static_cast<int>(f.can_id) == id) out.push_back(f);
    return out;
}

bool DriverFixture::AllEnabled() const {
    for (int i = 0; i < driver->moduleCount; ++i)
        if (driver->jointData[i].kind == 0 && driver->StateText(i) != "operation_enabled") return false;
    return true;
}

}  // namespace CANopenTest
