// The sample's start program run from the console on the simulated bus:
// start, pause, resume and stop with their log lines.

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "controller/RobotMasterSimBus.h"

using SimBusTest::Controller;
using SimBusTest::Sample;
using SimBusTest::WaitFor;

namespace {

TEST(ProgramConsoleBlackBox, ConsoleStartsPausesResumesAndStopsTheStartProgram) {
    Sample sample;
    sample.EditProject([](tinyxml2::XMLElement* project) {
        tinyxml2::XMLElement* sequence = project->FirstChildElement("PLCInterfaceRefSequence");
        for (int i = 0; i < 9; ++i) sequence->SetAttribute(("RefDelay" + std::to_string(i)).c_str(), 0);
    });
    sample.StartBus();
    Controller c(sample);
    ASSERT_TRUE(c.WaitForMessage("IPO: Program: Demo.xml (0 of 2) with 18 points"));
    ASSERT_TRUE(c.WaitForMessage("ProtocolVQTCANV2: Connection succeeded"));

    c.Type("2");
    ASSERT_TRUE(c.WaitForMessage("RobotMaster: Enabling Motors"));
    // Enabled but not referenced: the program may not start.
    ASSERT_TRUE(WaitFor(
        [&]() {
            for (const std::string& line : c.StartingWith("Pos: "))
                if (line.find("Status: NoError") != std::string::npos) return true;
            return false;
        },
        std::chrono::seconds(60)));
    c.Type("5");
    ASSERT_TRUE(c.WaitForMessage("Cannot start program, not referenced/enabled: cartAllowed=0, ready=1"));
    c.Type("9");
    ASSERT_TRUE(c.WaitForLastJointReferencing()) << c.Tail();
    // Started once the last joint reports referenced.
    ASSERT_TRUE(WaitFor(
        [&]() {
            c.Type("5");
            return c.WaitForMessage("IPO: Starting program with 18 points and 1 subprograms, first: CommandComment",
                                    1, std::chrono::seconds(2));
        },
        std::chrono::seconds(60)));
    EXPECT_GE(c.Count("Starting Program"), 1);
    ASSERT_TRUE(c.WaitForMessage("Subprog nr 1: DemoTally.xml", 1, std::chrono::seconds(120)));
    ASSERT_TRUE(c.WaitForMessage("IPO - changing to program 1, from 0, 17"));
    ASSERT_TRUE(c.WaitForMessage("IPO: Program done, restarting", 1, std::chrono::seconds(120)));

    c.Type("6");
    ASSERT_TRUE(c.WaitForMessage("IPO:    Pausing Program"));
    c.Type("5");
    ASSERT_TRUE(WaitFor([&]() { return !c.StartingWith("IPO: Resuming program at point ").empty(); }));
    c.Type("7");
    ASSERT_TRUE(c.WaitForMessage("IPO:    Stopping Program by USER"));
    c.Stop();
}

}  // namespace
