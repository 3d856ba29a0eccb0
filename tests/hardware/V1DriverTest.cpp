// The joint-module protocol v1 driver: its part of the robot file with the
// exit on errors, and the driver against the simulated v1 modules and a
// plain bus participant.

#include "hardware/HardwareProtocolFactory.h"
#include "hardware/HardwareProtocolVQTCAN.h"
#include "hardware/VQTCANV2TestSupport.h"

#include "common/LogSingleton.h"

#include <chrono>
#include <cmath>
#include <thread>

using Codec = Hardware::VQTCANCodec;
using V2Test::TestClock;

namespace {

// Thrown by the test's exit function: the reading must stop where it called it.
struct ExitCalled {
    int status;
};

class V1Driver : public ::testing::Test {
protected:
    static constexpr const char* kRobotFile = "Data/Robots/v1-robot.xml";

    void SetUp() override {
        TestClock::Reset();
        root = std::make_unique<TestSupport::ScratchRoot>();
        log = std::make_unique<HardwareTest::LogCapture>();
        TestSupport::CopyFixture("v1-robot.xml", RobotFilePath());
        Hardware::HardwareProtocolVQTCAN::SetExitFunction([](int status) { throw ExitCalled{status}; });
        std::string error;
        ASSERT_TRUE(hub.Start(SocketPath(), std::string(), &error)) << error;
    }
    void TearDown() override {
        driver.reset();
        peer.reset();
        hub.Stop();
        sim.reset();
        Hardware::HardwareProtocolVQTCAN::SetExitFunction(nullptr);
        log.reset();
        root.reset();
        TestClock::Reset();
    }

    std::string SocketPath() const { return root->File("bus.sock"); }
    std::string RobotFilePath() const { return root->File(kRobotFile); }

    void WriteRobotFile(const std::function<void(tinyxml2::XMLElement* bus)>& edit) {
        tinyxml2::XMLDocument doc;
        ASSERT_EQ(doc.LoadFile(TestSupport::FixturePath("v1-robot.xml").c_str()), tinyxml2::XML_SUCCESS);
        edit(doc.FirstChildElement("Robot")->FirstChildElement("BusConfiguration"));
        ASSERT_EQ(doc.SaveFile(RobotFilePath().c_str()), tinyxml2::XML_SUCCESS);
    }

    // -1 when Init did not call the exit function.
    int InitDriver() {
        driver = std::make_unique<Hardware::HardwareProtocolVQTCAN>(nullptr, &TestClock::Now);
        driver->canInterface.SetSimulatedBus(SocketPath());
        try {
            driver->Init("testbot", "Arm", RobotFilePath());
        } catch (const ExitCalled& e) {
            return e.status;
        }
        return -1;
    }

    // The simulated modules of the robot file on the hub.
    void Simulate() {
        sim = std::make_unique<CanSim::SimFaultChannel>(hub);
        CanSim::SimRobotConfig config;
        std::string error;
        ASSERT_TRUE(CanSim::SimRobotConfig::Load(RobotFilePath(), config, error)) << error;
        ASSERT_TRUE(sim->Populate(config, error)) << error;
    }
    void StartRobot() {
        ASSERT_NO_FATAL_FAILURE(Simulate());
        ASSERT_EQ(InitDriver(), -1);
        ASSERT_TRUE(driver->Connect());
    }

    CanSim::Peer& Peer() {
        if (!peer) peer = HardwareTest::ConnectPeer(hub, SocketPath());
        return *peer;
    }

    void Cycle() {
        driver->GetErrorHexCode(state.jointErrorCodes);
        lastShortError = driver->GetErrorShort();
        driver->SetJoints(state);
        driver->GetJoints(&state);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    bool CycleUntil(const std::function<bool()>& pred) { return HardwareTest::RepeatUntil([&] { Cycle(); }, pred); }
    static bool WaitUntil(const std::function<bool()>& pred) { return HardwareTest::WaitUntil(pred); }

    std::unique_ptr<TestSupport::ScratchRoot> root;
    std::unique_ptr<HardwareTest::LogCapture> log;
    CanSim::Hub hub;
    std::unique_ptr<CanSim::SimFaultChannel> sim;
    std::unique_ptr<CanSim::Peer> peer;
    std::unique_ptr<Hardware::HardwareProtocolVQTCAN> driver;
    DataTypes::RobotState state;
    std::string lastShortError;
};

TEST_F(V1Driver, FactoryBuildsItForVQTCAN) {
    auto built = Hardware::HardwareProtocolFactory::Create("VQTCAN", nullptr);
    ASSERT_NE(built, nullptr);
    EXPECT_NE(dynamic_cast<Hardware::HardwareProtocolVQTCAN*>(built.get()), nullptr);
    EXPECT_EQ(built->robotJointCount, 3);
}

TEST_F(V1Driver, ReadsItsPartOfTheRobotFile) {
    ASSERT_EQ(InitDriver(), -1);
    EXPECT_EQ(driver->robotJointCount, 3);
    EXPECT_EQ(driver->moduleCount, 3);
    EXPECT_FLOAT_EQ(driver->gapMs, 0.0f);
    EXPECT_EQ(driver->jointData[1].canId, 32);
    EXPECT_FLOAT_EQ(driver->jointData[1].gearScale, -190.0f);
    EXPECT_FLOAT_EQ(driver->jointData[2].gearZero, 30000.0f);
    EXPECT_FLOAT_EQ(driver->jointData[1].currentZero, 5.0f);
    // Joint 2 has no current attributes: defaults and their error lines.
    EXPECT_FLOAT_EQ(driver->jointData[2].currentScale, 1.0f);
    EXPECT_FLOAT_EQ(driver->jointData[2].currentZero, 30.0f);
    EXPECT_TRUE(log->HasError("ProtocolVQTCANV: joint CurrentScale not found!"));
    EXPECT_TRUE(log->HasError("ProtocolVQTCANV: joint CurrentZero not found!"));
    EXPECT_TRUE(log->Has("ProtocolVQTCAN: GapMS: 0.0"));
    EXPECT_TRUE(log->Has("Protocol VQTCAN: 3 joints:"));
    EXPECT_TRUE(log->Has("   Joint 1: CAN ID 32 - GearScale -190.000 - GearZero 32000.000"));
    unsigned char a = 1, b = 1, c = 1;
    driver->GetDIOModuleIDs(a, b, c);
    EXPECT_EQ(a + b + c, 0);
}

TEST_F(V1Driver, ConfigurationErrorsEndWithStatus46) {
    using Edit = std::function<void(tinyxml2::XMLElement*)>;
    struct Case {
        const char* name;
        Edit edit;
        std::string line;
    };
    const auto joint = [](tinyxml2::XMLElement* bus, int i) {
        return bus->FirstChildElement(("Joint" + std::to_string(i)).c_str());
    };
    const Case cases[] = {
        {"no GapMS", [](tinyxml2::XMLElement* b) { b->DeleteAttribute("GapMS"); },
         "ProtocolVQTCAN: attribute GapMS not found in line BusConfiguration of project file!"},
        {"GapMS -1", [](tinyxml2::XMLElement* b) { b->SetAttribute("GapMS", -1.0); },
         "ProtocolVQTCAN: attribute GapMS not found in line BusConfiguration of project file!"},
        {"no Joints", [](tinyxml2::XMLElement* b) { b->DeleteChild(b->FirstChildElement("Joints")); },
         "ProtocolVQTCAN: line Joints not found in project file!"},
        {"seven joints", [](tinyxml2::XMLElement* b) { b->FirstChildElement("Joints")->SetAttribute("NrOfJoints", 7); },
         "ProtocolVQTCAN: attribute NrOfJoints not found in line Joints of project file!"},
        {"Joint2 missing", [&](tinyxml2::XMLElement* b) { b->DeleteChild(joint(b, 2)); },
         "ProtocolVQTCAN: joint definition not found!"},
        {"ID 256", [&](tinyxml2::XMLElement* b) { joint(b, 1)->SetAttribute("ID", 256); },
         "ProtocolVQTCAN: joint ID not found!"},
        {"ID missing", [&](tinyxml2::XMLElement* b) { joint(b, 1)->DeleteAttribute("ID"); },
         "ProtocolVQTCAN: joint ID not found!"},
        {"GearScale 0", [&](tinyxml2::XMLElement* b) { joint(b, 0)->SetAttribute("GearScale", 0.0); },
         "ProtocolVQTCAN: joint GearScale not found!"},
        {"GearScale nan", [&](tinyxml2::XMLElement* b) { joint(b, 0)->SetAttribute("GearScale", "nan"); },
         "ProtocolVQTCAN: joint GearScale not found!"},
        {"GearZero missing", [&](tinyxml2::XMLElement* b) { joint(b, 2)->DeleteAttribute("GearZero"); },
         "ProtocolVQTCAN: joint GearZero not found!"},
    };
    for (const Case& c : cases) {
        log->Clear();
        WriteRobotFile(c.edit);
        EXPECT_EQ(InitDriver(), 46) << c.name;
        EXPECT_TRUE(log->HasError(c.line)) << c.name;
        EXPECT_EQ(log->StartingWith("   Joint 2:").size(), 0u) << c.name << ": the reading stops at the error";
    }

    // The file itself.
    log->Clear();
    TestSupport::WriteFile(RobotFilePath(), "<Robot><BusConfiguration");
    EXPECT_EQ(InitDriver(), 46);
    EXPECT_TRUE(log->HasError("ProtocolVQTCAN: could not read ini correctly: " + RobotFilePath()));
    TestSupport::WriteFile(RobotFilePath(), "<Robo/>");
    EXPECT_EQ(InitDriver(), 46);
    EXPECT_TRUE(log->HasError("ProtocolVQTCAN: line Robot not found in project file!"));
    TestSupport::WriteFile(RobotFilePath(), "<Robot/>");
    EXPECT_EQ(InitDriver(), 46);
    EXPECT_TRUE(log->HasError("ProtocolVQTCAN: line BusConfiguration not found in project file!"));
}

TEST_F(V1Driver, SetPointFramesCarryOneCounterPerFrame) {
    ASSERT_EQ(InitDriver(), -1);
    Peer();
    ASSERT_TRUE(driver->Connect());
    state.jointSetPoint[0] = 0.0f;
    state.jointSetPoint[1] = 10.0f;    // -1900 + 32000 = 30100
    state.jointSetPoint[2] = 400.0f;   // 70000 clamps to 65535
    driver->SetIO(0, 1, true);
    driver->SetIO(0, 5, true);  // no such output: changes nothing
    driver->SetIO(7, 1, true);  // no such joint
    driver->SetJoints(state);
    driver->SetJoints(state);
    driver->counter = 98;
    driver->SetJoints(state);

    std::vector<can_frame> frames;
    can_frame f;
    // The CAN interface's own connect test frame is not a set-point.
    while (frames.size() < 9 && Peer().Receive(f, HardwareTest::kWaitMs))
        if (f.can_dlc == 6) frames.push_back(f);
    ASSERT_EQ(frames.size(), 9u);
    const int counters[9] = {0, 1, 2, 3, 4, 5, 98, 99, 0};
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(static_cast<int>(frames[i].can_id), 16 * (i % 3 + 1));
        ASSERT_EQ(frames[i].can_dlc, 6);
        EXPECT_EQ(frames[i].data[4], counters[i]) << i;
    }
    EXPECT_EQ(V2Test::Bytes(frames[0]), (std::vector<int>{0x04, 0x80, 0x7D, 0x00, 0, 0x02}));
    EXPECT_EQ(V2Test::Bytes(frames[1]), (std::vector<int>{0x04, 0x80, 0x75, 0x94, 1, 0x00}));
    EXPECT_EQ(V2Test::Bytes(frames[2]), (std::vector<int>{0x04, 0x80, 0xFF, 0xFF, 2, 0x00}));
}

TEST_F(V1Driver, DrivesTheSimulatedModules) {
    StartRobot();
    // Before any answer every joint is dead, not merely in CAN error.
    int codes[16] = {};
    driver->GetErrorHexCode(codes);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(codes[i], 0x200) << i;
    EXPECT_FALSE(driver->GetMotorEnabled());

    ASSERT_TRUE(CycleUntil([&] {
        return state.jointErrorCodes[0] == 0x04 && state.jointErrorCodes[1] == 0x04 && state.jointErrorCodes[2] == 0x04;
    }));
    Cycle();
    EXPECT_EQ(lastShortError, "MNE");
    std::string texts[16];
    driver->GetError(texts);
    EXPECT_EQ(texts[0], "MNE");

    driver->ResetError();
    driver->EnableMotors(true);
    EXPECT_TRUE(log->Has("Enabling motors"));
    ASSERT_TRUE(CycleUntil([&] { return driver->GetMotorEnabled(); }));
    const float target[3] = {10.0f, -5.0f, 2.5f};
    for (int i = 0; i < 3; ++i) state.jointSetPoint[i] = target[i];
    ASSERT_TRUE(CycleUntil([&] {
        for (int i = 0; i < 3; ++i)
            if (std::fabs(state.jointActual[i] - target[i]) > 0.02f) return false;
        return true;
    }));
    EXPECT_EQ(sim->JointV1(48)->GetSnapshot().targetRaw, 30250);
    std::string status, shortCode;
    driver->GetError(status, shortCode);
    EXPECT_EQ(status, "Status: no error");
    EXPECT_TRUE(driver->noError);
    EXPECT_FLOAT_EQ(driver->jointData[0].current, 120.0f);
    EXPECT_FLOAT_EQ(driver->jointData[1].current, 125.0f);

    // Inputs and the referenced flag come back in byte 7.
    sim->SetDigitalInputs(32, 0x05);
    sim->JointV1(32)->SetReferenced(true);
    ASSERT_TRUE(CycleUntil([&] { return driver->jointData[1].digitalInputs == 0x85; }));
    EXPECT_EQ(driver->jointData[1].referencedV1, 1);

    // Outputs go out in byte 5.
    driver->SetIO(2, 3, true);
    ASSERT_TRUE(CycleUntil([&] { return sim->JointV1(48)->GetSnapshot().lastOutputByte == 0x08; }));

    // Error bits of a module.
    sim->SetErrorBits(16, 0x40);
    ASSERT_TRUE(CycleUntil([&] { return lastShortError == "_OC"; }));
    EXPECT_TRUE(log->Has("CAN status changed:  - over current"));
    EXPECT_FALSE(driver->GetMotorEnabled());

    // Set to zero: the module's position becomes its zero raw value.
    driver->EnableMotors(false);
    EXPECT_TRUE(log->Has("Disabling motors"));
    driver->SetToZeroPos(2);
    ASSERT_TRUE(CycleUntil([&] { return std::fabs(state.jointActual[2] - 20.0f) < 0.01f; }));  // (32000-30000)/100
    EXPECT_EQ(sim->JointV1(48)->GetSnapshot().commands[0x08], 2u);
    EXPECT_TRUE(log->Has("Setting joint 2 to zero pos"));
}

TEST_F(V1Driver, ARestartedControllerLeavesEnabledModulesStanding) {
    StartRobot();
    driver->ResetError();
    driver->EnableMotors(true);
    ASSERT_TRUE(CycleUntil([&] { return driver->GetMotorEnabled(); }));
    state.jointSetPoint[2] = 5.0f;
    ASSERT_TRUE(CycleUntil([&] { return std::fabs(state.jointActual[2] - 5.0f) < 0.02f; }));
    const double standing = sim->JointV1(48)->GetSnapshot().positionRaw;

    // The controller dies; the modules keep power and stay enabled. A new one
    // starts with the project's home in its set-points.
    driver.reset();
    ASSERT_TRUE(sim->JointV1(48)->GetSnapshot().enabled);
    state = DataTypes::RobotState();
    for (int i = 0; i < 3; ++i) state.jointSetPoint[i] = 90.0f;
    ASSERT_EQ(InitDriver(), -1);
    ASSERT_TRUE(driver->Connect());
    for (int k = 0; k < 300; ++k) Cycle();
    EXPECT_FALSE(sim->JointV1(48)->GetSnapshot().enabled);
    EXPECT_DOUBLE_EQ(sim->JointV1(48)->GetSnapshot().positionRaw, standing) << "moved without a command";
    EXPECT_TRUE(driver->JointPositionsKnown());
    EXPECT_NEAR(state.jointActual[2], 5.0f, 0.02f);

    // The operator's reset takes the set-points from the modules; the enable moves nothing.
    for (int i = 0; i < 3; ++i) state.jointSetPoint[i] = state.jointActual[i];
    driver->ResetError();
    driver->EnableMotors(true);
    ASSERT_TRUE(CycleUntil([&] { return driver->GetMotorEnabled(); }));
    for (int k = 0; k < 100; ++k) Cycle();
    EXPECT_NEAR(sim->JointV1(48)->GetSnapshot().positionRaw, standing, 1.0);
}

TEST_F(V1Driver, ReportsTheModulesReferencedFlags) {
    StartRobot();
    bool referenced[16] = {};
    int all = -1;
    ASSERT_TRUE(CycleUntil([&] { return driver->JointPositionsKnown(); }));
    driver->GetReferenceStatus(referenced, &all);
    EXPECT_EQ(all, 0);
    EXPECT_FALSE(driver->referencedAll);
    sim->JointV1(16)->SetReferenced(true);
    sim->JointV1(32)->SetReferenced(true);
    // Each module reports in its own status frame: wait for both.
    ASSERT_TRUE(
        CycleUntil([&] { return driver->jointData[0].referencedV1 == 1 && driver->jointData[1].referencedV1 == 1; }));
    driver->GetReferenceStatus(referenced, &all);
    EXPECT_TRUE(referenced[0]);
    EXPECT_TRUE(referenced[1]);
    EXPECT_FALSE(referenced[2]);
    EXPECT_EQ(all, 0);
    sim->JointV1(48)->SetReferenced(true);
    ASSERT_TRUE(CycleUntil([&] { return driver->referencedAll.load(); }));
    driver->GetReferenceStatus(referenced, &all);
    EXPECT_TRUE(referenced[2]);
    EXPECT_EQ(all, 1);
}

TEST_F(V1Driver, PositionsAreKnownOnceEveryJointReportedSinceTheConnect) {
    ASSERT_NO_FATAL_FAILURE(Simulate());
    sim->Silence(32, true);
    ASSERT_EQ(InitDriver(), -1);
    EXPECT_TRUE(driver->JointPositionsKnown()) << "no bus: nothing reaches a module";
    ASSERT_TRUE(driver->Connect());
    EXPECT_FALSE(driver->JointPositionsKnown());
    ASSERT_TRUE(CycleUntil([&] { return state.jointErrorCodes[0] == 0x04 && state.jointErrorCodes[2] == 0x04; }));
    EXPECT_FALSE(driver->JointPositionsKnown()) << "joint 2 has not reported";

    sim->Silence(32, false);
    ASSERT_TRUE(CycleUntil([&] { return driver->JointPositionsKnown(); }));
}

TEST_F(V1Driver, SilentModuleIsDeadAfterTwoSeconds) {
    StartRobot();
    driver->ResetError();
    driver->EnableMotors(true);
    ASSERT_TRUE(CycleUntil([&] { return driver->GetMotorEnabled(); }));
    sim->Silence(32, true);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // replies under way land first
    for (int i = 0; i < 5; ++i) Cycle();
    EXPECT_EQ(driver->jointData[1].errorCode, 0u) << "younger than 2 s: still its last status";
    TestClock::Advance(2100);
    ASSERT_TRUE(CycleUntil([&] { return driver->jointData[1].errorCode == 0x200 && driver->jointData[0].errorCode == 0; }));
    Cycle();  // the status of the cycle before the read-back
    EXPECT_EQ(lastShortError, "_DEAD");
    EXPECT_FALSE(driver->GetMotorEnabled());
    std::string status, shortCode;
    driver->GetError(status, shortCode);
    EXPECT_EQ(status, "Status:  - module dead");

    sim->Silence(32, false);
    ASSERT_TRUE(CycleUntil([&] { return lastShortError == "NoError"; }));

    driver->Disconnect();
    driver->GetError(status, shortCode);
    EXPECT_EQ(shortCode, "NotConnected");
    EXPECT_TRUE(log->Has("CAN status changed: not connected"));
    driver->SetToZeroPos(0);
    EXPECT_TRUE(log->Has("ProtocolVQTCAN: Can not set to zero pos before connecting"));
}

}  // namespace
