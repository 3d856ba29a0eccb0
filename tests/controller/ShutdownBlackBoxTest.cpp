// The controller program asked by the main I/O module to power off: after
// stopping and resetting the robot and storing the counters it runs
// "systemctl poweroff", here a stand-in first on PATH that only records.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "controller/RobotMasterSimBus.h"
#include "support/TestSupport.h"

using SimBusTest::Controller;
using SimBusTest::Sample;
using SimBusTest::WaitFor;

namespace {

// The PATH under which the controller runs, with the stand-in first; a real
// systemctl must never be reached.
std::string PathWithStandIn(const std::string& bin) {
    const char* path = std::getenv("PATH");
    const std::string value = bin + ":" + (path != nullptr ? path : "/usr/bin:/bin");
    const std::string probe = "PATH='" + value + "' sh -c 'command -v systemctl' > '" + bin + "/which.txt'";
    EXPECT_EQ(std::system(probe.c_str()), 0);
    EXPECT_EQ(TestSupport::ReadFile(bin + "/which.txt"), bin + "/systemctl\n");
    return "PATH=" + value;
}

TEST(ShutdownBlackBox, BusShutdownRequestRunsPowerOffAfterTheSequence) {
    Sample sample;
    // The stand-in notes its arguments and whether the counters were stored before it ran.
    const std::string bin = sample.File("bin");
    TestSupport::WriteFile(bin + "/systemctl",
                           "#!/bin/sh\n"
                           "if [ -f variableStorage.xml ]; then stored=counters-stored; else stored=no-counters; fi\n"
                           "echo \"$* $stored\" >> systemctl-calls.txt\n");
    ASSERT_EQ(chmod((bin + "/systemctl").c_str(), 0755), 0);
    const std::string path = PathWithStandIn(bin);
    ASSERT_FALSE(::testing::Test::HasFailure());
    sample.StartBus();
    Controller c(sample, {path});
    ASSERT_TRUE(c.WaitForMessage("ProtocolVQTCANV2: Connection succeeded"));
    ASSERT_TRUE(c.WaitForMessage("Keyboard Commands:"));

    sample.Bus().Line("shutdown 200");
    ASSERT_TRUE(c.WaitForMessage("Shutting down the system..."));
    const std::string calls = sample.File("systemctl-calls.txt");
    ASSERT_TRUE(WaitFor([&]() { return !TestSupport::ReadFile(calls).empty(); }));
    EXPECT_EQ(TestSupport::ReadFile(calls), "poweroff counters-stored\n");
    EXPECT_EQ(c.Count("Could not execute shutdown"), 0);
    EXPECT_GE(c.Count("RobotMaster:  Resetting Joints"), 1);

    // The process goes on until the system ends it; here the test does.
    c.Stop();
    EXPECT_EQ(TestSupport::ReadFile(calls), "poweroff counters-stored\n");
}

TEST(ShutdownBlackBox, AFailingPowerOffIsReported) {
    Sample sample;
    const std::string bin = sample.File("bin");
    TestSupport::WriteFile(bin + "/systemctl", "#!/bin/sh\nexit 1\n");
    ASSERT_EQ(chmod((bin + "/systemctl").c_str(), 0755), 0);
    const std::string path = PathWithStandIn(bin);
    ASSERT_FALSE(::testing::Test::HasFailure());
    sample.StartBus();
    Controller c(sample, {path});
    ASSERT_TRUE(c.WaitForMessage("ProtocolVQTCANV2: Connection succeeded"));
    ASSERT_TRUE(c.WaitForMessage("Keyboard Commands:"));
    sample.Bus().Line("shutdown 200");
    ASSERT_TRUE(c.WaitForMessage("Could not execute shutdown"));
    c.Stop();
}

}  // namespace
