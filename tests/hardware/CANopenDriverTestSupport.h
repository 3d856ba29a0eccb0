#pragma once
// Shared by the CANopen driver tests: a scratch root with the CANopen robot
// file (robot type "KorvellaSix"), a hub with the simulated drives and I/O
// nodes of that file, a driver on the test clock with shortened waits, and a
// participant that records the frames on the bus.

#include "datatypes/RobotState.h"
#include "hardware/HardwareProtocolCANopen.h"
#include "hardware/HardwareTestSupport.h"
#include "hardware/VQTCANV2TestSupport.h"
#include "korvella-cansim/SimFaultChannel.h"

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace CANopenTest {

class DriverFixture : public ::testing::Test {
protected:
    static constexpr const char* kRobotFile = "Data/Robots/KorvellaSix/KorvellaSix.xml";

    void SetUp() override;
    void TearDown() override;

    std::string SocketPath() const { return root->File("bus.sock"); }
    std::string RobotFilePath() const { return root->File(kRobotFile); }
    std::string ParameterFilePath() const { return root->File("Data/Robots/KorvellaSix/CANopenParameter.xml"); }
    // The fixture robot file with an edit of its "BusConfiguration".
    void EditBus(const std::function<void(tinyxml2::XMLElement* bus)>& edit);
    // The simulated devices of the robot file (and I/O nodes).
    CanSim::SimFaultChannel& Simulate(const std::vector<int>& ioNodes = {});
    // Driver on the test clock, initialised from the robot file.
    void MakeDriver(Hardware::CANopenProfile profile = Hardware::CANopenProfileCSP);
    // Make, add the I/O modules, connect; true when every drive answered its set-up.
    void ConnectDriver(const std::vector<int>& ioNodes = {});
    CanSim::Peer& Peer();

    // One robot-thread cycle: SYNC, read-outs, SetJoints, GetJoints, then 2 ms.
    void Cycle();
    bool CycleUntil(const std::function<bool()>& pred, int maxMs = HardwareTest::kWaitMs);
    static bool WaitUntil(const std::function<bool()>& pred, int maxMs = HardwareTest::kWaitMs);
    // Frames the peer has received so far (waiting until quiet for quietMs).
    std::vector<can_frame> Drain(int quietMs = 50);
    // Controlwords written to a node by SDO, in order, among frames.
    static std::vector<int> Controlwords(const std::vector<can_frame>& frames, int node);
    // SDO downloads to a node of one object, their values in order.
    static std::vector<uint32_t> Downloads(const std::vector<can_frame>& frames, int node, int index, int subindex);
    static std::vector<can_frame> WithId(const std::vector<can_frame>& frames, int id);
    std::string State(int record) const { return driver->StateText(record); }
    bool AllEnabled() const;

    std::unique_ptr<TestSupport::ScratchRoot> root;
    std::unique_ptr<HardwareTest::LogCapture> log;
    CanSim::Hub hub;
    std::unique_ptr<CanSim::SimFaultChannel> sim;
    std::unique_ptr<Hardware::HardwareProtocolCANopen> driver;
    std::unique_ptr<CanSim::Peer> peer;
    DataTypes::RobotState state;
    std::string lastShortError;
};

}  // namespace CANopenTest
