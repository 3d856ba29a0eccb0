// The controller program driven by a PLC over digital I/O: the six-axis
// sample with the PLC interface configured, inputs raised through the
// simulator's fault channel, outputs read from the I/O module's frames.

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "controller/IOModuleBusSupport.h"
#include "controller/RobotMasterSimBus.h"

using SimBusTest::Controller;
using SimBusTest::WaitFor;

namespace {

constexpr int EnableIn = 20, PlayIn = 21, PauseIn = 22, ReferenceIn = 23;
constexpr int RunningOut = 24, ProgramOut = 25;

TEST(PLCInterfaceBlackBox, InputsEnableReferenceStartPauseAndStopTheStartProgram) {
    SimBusTest::Sample sample;
    TestSupport::WriteFile(sample.File("Data/Programs/PLCDemo.xml"),
                           "<Program><Output Nr=\"1\" Channel=\"DOut26\" State=\"true\"/>"
                           "<Wait Nr=\"2\" Type=\"Time\" Seconds=\"60\"/></Program>");
    sample.EditProject([](tinyxml2::XMLElement* project) {
        project->FirstChildElement("Program")->SetAttribute("File", "PLCDemo.xml");
        project->FirstChildElement("PLCInterface")->SetAttribute("Active", "true");
        tinyxml2::XMLElement* in = project->FirstChildElement("PLCInterfaceIn");
        in->SetAttribute("EnableNumber", EnableIn);
        in->SetAttribute("PlayNumber", PlayIn);
        in->SetAttribute("PauseNumber", PauseIn);
        in->SetAttribute("RequestReferenceNumber", ReferenceIn);
        project->FirstChildElement("PLCInterfaceOut")->SetAttribute("ProgramRunningNumber", RunningOut);
        tinyxml2::XMLElement* sequence = project->FirstChildElement("PLCInterfaceRefSequence");
        for (int i = 0; i < 9; ++i) sequence->SetAttribute(("RefDelay" + std::to_string(i)).c_str(), 0);
    });
    IOBusTest::TwoModuleBus bus(sample);
    ASSERT_NO_FATAL_FAILURE(bus.Start());
    Controller c(sample);
    ASSERT_TRUE(c.WaitForMessage("IPO: Program: PLCDemo.xml (0 of 1) with 2 points"));
    ASSERT_TRUE(c.WaitForMessage("ProtocolVQTCANV2: Connection succeeded"));

    bus.SetInput(EnableIn, true);
    ASSERT_TRUE(c.WaitForMessage("PLCInterface: Enable"));
    ASSERT_TRUE(c.WaitForMessage("RobotMaster: Enabling Motors"));
    bus.SetInput(ReferenceIn, true);
    ASSERT_TRUE(c.WaitForMessage("PLCInterface: Starting Reference All Joints"));
    ASSERT_TRUE(c.WaitForLastJointReferencing()) << c.Tail();
    EXPECT_EQ(c.Count("Starting Program"), 0) << "nothing runs before the play edge";
    EXPECT_FALSE(bus.SawOutput(ProgramOut, true));
    EXPECT_FALSE(bus.SawOutput(RunningOut, true));

    // Started once the last joint reports referenced: a refused start needs a new edge.
    ASSERT_TRUE(WaitFor(
        [&]() {
            bus.SetInput(PlayIn, false);
            RobotMaster::wait(100);
            bus.SetInput(PlayIn, true);
            return c.WaitForMessage("Starting Program", 1, std::chrono::seconds(2));
        },
        std::chrono::seconds(60)));
    EXPECT_GE(c.Count("PLCInterface: Play"), 1);
    ASSERT_TRUE(WaitFor([&]() { return bus.LastOutput(ProgramOut) && bus.LastOutput(RunningOut); }))
        << "the program's output and the running output reach the module";

    bus.SetInput(PauseIn, true);
    ASSERT_TRUE(c.WaitForMessage("PLCInterface: Pause"));
    ASSERT_TRUE(c.WaitForMessage("IPO:    Pausing Program"));
    ASSERT_TRUE(WaitFor([&]() { return !bus.LastOutput(RunningOut); })) << "paused is not running";
    bus.SetInput(PauseIn, false);
    RobotMaster::wait(100);
    bus.SetInput(PauseIn, true);
    ASSERT_TRUE(c.WaitForMessage("PLCInterface: Continue"));
    ASSERT_TRUE(WaitFor([&]() { return bus.LastOutput(RunningOut); }));

    bus.SetInput(PlayIn, false);
    RobotMaster::wait(100);
    bus.SetInput(PlayIn, true);
    ASSERT_TRUE(c.WaitForMessage("PLCInterface: Stop"));
    ASSERT_TRUE(c.WaitForMessage("IPO:    Stopping Program by PLC"));
    ASSERT_TRUE(WaitFor([&]() { return !bus.LastOutput(RunningOut); }));
    EXPECT_TRUE(bus.LastOutput(ProgramOut)) << "the program's output stays as it left it";
    c.Stop();
}

}  // namespace
