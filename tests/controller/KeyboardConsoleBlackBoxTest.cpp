// The controller program driven from its console on the simulated bus:
// reset and enable, jogging, set to zero, referencing, motion mode, override,
// SDO lines, the E-stop input and the function button's alignment.

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "controller/RobotMasterSimBus.h"

using SimBusTest::Controller;
using SimBusTest::Sample;
using SimBusTest::WaitFor;

namespace {

// The six joint set-points of a status line ("Pos: ...    Joints: j1 .. j6   Status: ...").
std::vector<float> StatusJoints(const std::string& line) {
    std::vector<float> joints;
    const std::size_t at = line.find("Joints: ");
    if (at == std::string::npos) return joints;
    std::istringstream in(line.substr(at + 8));
    float v = 0.0f;
    while (joints.size() < 6 && in >> v) joints.push_back(v);
    return joints;
}

// The joints of the newest status line logged after `seen` earlier ones.
bool NewStatus(Controller& c, std::size_t seen, std::vector<float>& joints, std::string& line) {
    const std::vector<std::string> lines = c.StartingWith("Pos: ");
    if (lines.size() <= seen) return false;
    line = lines.back();
    joints = StatusJoints(line);
    return joints.size() == 6;
}

// Referencing steps without waiting between them.
void NoReferencingDelays(Sample& sample) {
    sample.EditProject([](tinyxml2::XMLElement* project) {
        tinyxml2::XMLElement* sequence = project->FirstChildElement("PLCInterfaceRefSequence");
        for (int i = 0; i < 9; ++i) sequence->SetAttribute(("RefDelay" + std::to_string(i)).c_str(), 0);
    });
}

TEST(KeyboardConsoleBlackBox, ConsoleKeysDriveTheSimulatedArm) {
    Sample sample;
    NoReferencingDelays(sample);
    sample.StartBus();
    Controller c(sample);
    ASSERT_TRUE(c.WaitForMessage("ProtocolVQTCANV2: Connection succeeded"));
    EXPECT_EQ(c.Count("Keyboard Commands:"), 1) << "help printed at start-up";

    c.Type("2");  // reset and enable
    ASSERT_TRUE(c.WaitForMessage("RobotMaster: Enabling Motors"));
    EXPECT_EQ(c.Count("RobotMaster:  Resetting Joints"), 1);
    EXPECT_EQ(c.Count("You entered: \"2\""), 1);

    // Joint 1 up: the status line's set-point grows; "a" stops it.
    c.Type("q");
    c.Type("q");
    std::vector<float> joints;
    std::string line;
    std::size_t seen = c.StartingWith("Pos: ").size();
    ASSERT_TRUE(WaitFor(
        [&]() { return NewStatus(c, seen, joints, line) && joints[0] > 1.0f; }, std::chrono::seconds(30)))
        << line;
    EXPECT_EQ(joints[1], 0.0f) << line;
    c.Type("a");
    // Stopped: two status lines in a row show the same set-point.
    std::vector<float> first;
    seen = c.StartingWith("Pos: ").size();
    ASSERT_TRUE(WaitFor([&]() { return NewStatus(c, seen, first, line); }, std::chrono::seconds(30)));
    seen = c.StartingWith("Pos: ").size();
    ASSERT_TRUE(WaitFor([&]() { return NewStatus(c, seen, joints, line); }, std::chrono::seconds(30)));
    EXPECT_EQ(joints[0], first[0]) << line;
    EXPECT_NE(line.find("Status: NoError, KinOK"), std::string::npos) << line;

    // Set to zero, then the reset that follows it.
    c.Type("0");
    ASSERT_TRUE(c.WaitForMessage("ProtocolVQTCANV2: Setting joint 5 to zero pos"));
    ASSERT_TRUE(c.WaitForMessage("RobotMaster:  Resetting Joints", 2));
    seen = c.StartingWith("Pos: ").size();
    ASSERT_TRUE(WaitFor([&]() { return NewStatus(c, seen, joints, line); }, std::chrono::seconds(30)));
    EXPECT_EQ(joints[0], 0.0f) << line << TestSupport::ReadFile(c.Output());

    // Reference all needs the motors on.
    c.Type("2");
    ASSERT_TRUE(c.WaitForMessage("RobotMaster: Enabling Motors", 2));
    // "9" is ignored until the modules report their motors ready.
    ASSERT_TRUE(WaitFor(
        [&]() {
            seen = c.StartingWith("Pos: ").size();
            return WaitFor([&]() { return NewStatus(c, seen, joints, line); }, std::chrono::seconds(30)) &&
                   line.find("Status: NoError") != std::string::npos;
        },
        std::chrono::seconds(60)))
        << line;
    c.Type("9");
    ASSERT_TRUE(c.WaitForMessage("Resetting referencing state for all axes"));
    ASSERT_TRUE(c.WaitForLastJointReferencing()) << c.Tail();

    c.Type("8");
    ASSERT_TRUE(c.WaitForMessage("RobotMaster:  Changing motion mode to ROBOT-CART-BASE"));

    c.Type("sdo 5 0x6040 0 15");
    ASSERT_TRUE(c.WaitForMessage("You entered: sdo device 5 address 6040 subaddress 0 value 15 (0xf)"));
    c.Type("sdo 5 0x60G0 0 15");
    ASSERT_TRUE(c.WaitForMessage("Invalid command for SDO: Got '5' '0x60G0' '0' '15'"));
    c.Type("us");
    ASSERT_TRUE(c.WaitForMessage("Keyboard layout changed to US"));

    c.Stop();
}

TEST(KeyboardConsoleBlackBox, EStopInputAppliesTheBrakeAndRefusesEnabling) {
    Sample sample;
    sample.AddEStopAndBrake(100);
    sample.StartBus();
    Controller c(sample);
    ASSERT_TRUE(c.WaitForMessage("ProtocolVQTCANV2: Connection succeeded"));
    sample.Bus().Line("inputs 112 0x01");  // E-stop released (the input is active low)
    // The robot thread sees the released input before the console's reset.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    c.Type("2");
    ASSERT_TRUE(c.WaitForMessage("RobotMaster: Enabling Motors"));
    ASSERT_TRUE(c.WaitForMessage("Releasing brake (delayed)"));
    ASSERT_TRUE(c.WaitForMessage("Releasing brake"));

    sample.Bus().Line("inputs 112 0x00");
    ASSERT_TRUE(c.WaitForMessage("RobotMaster: ***** ESTOP DETECTED! ***** Resetting outputs and applying brake!"));
    EXPECT_GE(c.Count("Enabling brake"), 1);

    c.Type("2");
    ASSERT_TRUE(c.WaitForMessage("RobotMaster: Can not enable motors, EStop detected"));
    EXPECT_EQ(c.Count("RobotMaster: Can not reset errors, EStop detected"), 1);
    std::vector<float> joints;
    std::string line;
    const std::size_t seen = c.StartingWith("Pos: ").size();
    ASSERT_TRUE(WaitFor([&]() { return NewStatus(c, seen, joints, line); }, std::chrono::seconds(30)));
    EXPECT_NE(line.find("ESTOP"), std::string::npos) << line;
    c.Stop();
}

TEST(KeyboardConsoleBlackBox, FunctionButtonSettingMakesReferenceAllAlign) {
    Sample sample;
    sample.EditRobot([](tinyxml2::XMLElement* robot) {
        robot->FirstChildElement("Korvella")->SetAttribute("FunctionButtonRefAll", "alignmotors");
    });
    sample.StartBus();
    Controller c(sample);
    ASSERT_TRUE(c.WaitForMessage("ProtocolVQTCANV2: Connection succeeded"));
    c.Type("9");
    ASSERT_TRUE(c.WaitForMessage("VQTCAN2: Starting to align torque motors"));
    EXPECT_EQ(c.Count("Resetting referencing state for all axes"), 0);
    // Alignment takes its time per motor; the process is killed at the end.
}

}  // namespace
