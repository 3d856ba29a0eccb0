// The controller program on a robot file for the joint-module protocol v1
// whose bus settings are incomplete: it logs the line and ends with status 46.

#include "controller/RobotMasterSimBus.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

TEST(V1BlackBox, RobotFileWithoutGapMSEndsTheProgramWith46) {
    SimBusTest::Sample sample;
    sample.EditRobot([](tinyxml2::XMLElement* robot) {
        tinyxml2::XMLElement* bus = robot->FirstChildElement("BusConfiguration");
        bus->SetAttribute("Protocol", "VQTCAN");
        bus->DeleteAttribute("GapMS");
    });
    SimBusTest::Process korvella;
    const std::string output = sample.File("console.txt");
    korvella.Start({KORVELLA_PROGRAM}, sample.Root(), output,
                   {"KORVELLA_CAN_SIM=" + sample.Socket(), "KORVELLA_LOG_NO_WAIT=1"});
    korvella.CloseInput();
    int status = 0;
    ASSERT_TRUE(korvella.WaitExit(status, std::chrono::seconds(60))) << "Korvella did not end";
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 46);
    const auto lines = SimBusTest::Messages(output);
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "ProtocolVQTCAN: attribute GapMS not found in line BusConfiguration of project file!"),
              lines.end());
}

}  // namespace
