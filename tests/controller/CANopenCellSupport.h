#pragma once
// Shared by the black-box tests on CANopen drives: the six-axis sample with
// the CANopen robot file, the simulated bus with its six CiA 402 drives and
// the project's I/O module 112 writing a frame log, and the controller.

#include "controller/RobotMasterSimBus.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <functional>
#include <string>

namespace SimBusTest {

class CANopenCell : public ::testing::Test {
protected:
    void SetUp() override { TestSupport::CopyFixture("canopen-robot.xml", sample.RobotFile()); }
    void TearDown() override {
        korvella.Kill();
        bus.Kill();
    }

    void StartBus() {
        bus.Start({KORVELLA_CANSIM_PROGRAM, "--socket", sample.Socket(), "--log", Frames(), "--robot",
                   sample.RobotFile(), "--dio", "112"},
                  sample.Root(), sample.File("cansim.txt"), {});
        struct stat info {};
        ASSERT_TRUE(SimBusTest::WaitFor([&]() { return stat(sample.Socket().c_str(), &info) == 0; }));
    }
    void StartController(const std::string& output) {
        korvella.Start({KORVELLA_PROGRAM}, sample.Root(), output,
                       {"KORVELLA_CAN_SIM=" + sample.Socket(), "KORVELLA_LOG_NO_WAIT=1"});
    }
    std::string Frames() const { return sample.File("frames.txt"); }
    // A log line, and a status line with this error state.
    static std::function<bool(const std::string&)> Is(const std::string& text) {
        return [text](const std::string& line) { return line == text; };
    }
    static std::function<bool(const std::string&)> StatusWith(const std::string& status) {
        return [status](const std::string& line) {
            return line.compare(0, 5, "Pos: ") == 0 && line.find("   Status: " + status + ",") != std::string::npos;
        };
    }

    Sample sample;
    Process bus;
    Process korvella;
};

}  // namespace SimBusTest
