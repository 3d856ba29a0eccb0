// The controller program from outside with a PLC on Modbus TCP: the six-axis
// sample on the simulated bus with the Modbus server switched on in its
// project file, on a free port.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <tinyxml2.h>
#include <vector>

#include "controller/RobotMasterSimBus.h"
#include "server/ModbusTestSupport.h"

namespace {

using namespace std::chrono_literals;

float ProjectOverride(const std::string& path) {
    tinyxml2::XMLDocument document;
    if (document.LoadFile(path.c_str()) != tinyxml2::XML_SUCCESS) return -1.0f;
    const tinyxml2::XMLElement* program = document.RootElement()->FirstChildElement("Program");
    return program == nullptr ? -1.0f : program->FloatAttribute("Override", -1.0f);
}

TEST(ModbusBlackBoxTest, APlcReadsTheRobotAndCommandsIt) {
    SimBusTest::Sample sample;
    const int port = TestSupport::FreeLoopbackPort();
    ASSERT_NE(port, 0);
    sample.EditProject([port](tinyxml2::XMLElement* project) {
        tinyxml2::XMLElement* modbus = project->FirstChildElement("Environment")->FirstChildElement("ModbusServer");
        modbus->SetAttribute("Active", "True");
        modbus->SetAttribute("Port", port);
    });
    sample.StartBus();
    SimBusTest::Controller korvella(sample, {"KORVELLA_HXP_PORT=" + std::to_string(TestSupport::FreeLoopbackPort())});

    ModbusTest::Client plc;
    ASSERT_TRUE(SimBusTest::WaitFor([&]() { return plc.Connect(port); }, 40s)) << "no Modbus listener";
    EXPECT_EQ(plc.Input(0, 4), (std::vector<uint16_t>{980, 13, 39, 1}));
    EXPECT_EQ(plc.Input(20, 5), (std::vector<uint16_t>{6, 0, 0, 0, 1}));
    EXPECT_EQ(plc.Discrete(10, 5), (std::vector<uint8_t>{1, 0, 0, 0, 1}));
    EXPECT_EQ(plc.Discrete(54, 1), (std::vector<uint8_t>{1})) << "normal operation";

    // The joint set-points stand at the sample's home position (0 0 90 0 90 0) once the robot thread runs.
    ASSERT_TRUE(korvella.WaitForMessage("***************** Connecting CAN bus... ******************"));
    EXPECT_TRUE(SimBusTest::WaitFor([&]() {
        const std::vector<uint16_t> joints = plc.Input(142, 12);
        return joints.size() == 12 && ModbusTest::Int32(joints, 2) == 0 && ModbusTest::Int32(joints, 4) == 9000 &&
               ModbusTest::Int32(joints, 8) == 9000;
    }, 40s));
    EXPECT_TRUE(SimBusTest::WaitFor([&]() { return plc.Discrete(50, 1) == std::vector<uint8_t>{1}; }, 40s))
        << "bus not connected";

    // Global signals 0 and 2 from register 200, seen in the coils once the robot cycle took them.
    ASSERT_TRUE(plc.WriteHolding(200, {0x0005}));
    EXPECT_TRUE(SimBusTest::WaitFor([&]() { return plc.Coils(200, 4) == std::vector<uint8_t>{1, 0, 1, 0}; }));

    // Bad requests cost nothing but their own answer or their own connection.
    ServerTest::Client raw;
    ASSERT_TRUE(raw.Connect(port));
    ASSERT_TRUE(raw.Send(ModbusTest::Frame(9, {0x03, 0x02, 0xEE, 0, 10})));
    const std::string answer = ModbusTest::Answer(raw.Fd());
    ASSERT_EQ(answer.size(), 9u);
    EXPECT_EQ(static_cast<uint8_t>(answer[7]), 0x83);
    ASSERT_TRUE(raw.Send(std::string("\x00\x01\x00\x07\x00\x06\x01\x03\x00\x00\x00\x01", 12)));
    EXPECT_TRUE(raw.WaitClosed(5s));
    EXPECT_EQ(plc.Input(0, 1), (std::vector<uint16_t>{980}));

    // The override reaches the robot and, with the next rewrite, the project file.
    ASSERT_TRUE(plc.WriteHolding(187, {2500}));
    EXPECT_EQ(plc.Holding(187, 1), (std::vector<uint16_t>{2500}));
    EXPECT_TRUE(SimBusTest::WaitFor([&]() { return ProjectOverride(sample.ProjectFile()) == 25.0f; }, 60s))
        << "override in the project file: " << ProjectOverride(sample.ProjectFile());

    // SIGTERM: the listener is stopped and joined before the program ends.
    korvella.Stop();
    EXPECT_EQ(korvella.Count("Modbus: Server stopped"), 1);
    EXPECT_EQ(plc.Input(0, 1), std::vector<uint16_t>{});
}

}  // namespace
