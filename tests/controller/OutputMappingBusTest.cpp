// Digital outputs of the robot state on the joint bus: which module and bit
// each one reaches on the v2/v3 modules, and the one log line for an output
// that reaches none.

#include <gtest/gtest.h>

#include <string>

#include "controller/IOModuleBusSupport.h"

namespace {

using IOBusTest::WaitFor;

class OutputMappingBus : public IOBusTest::RobotOnIOBus {};

TEST_F(OutputMappingBus, OutputsReachTheirModuleBitOrAreReportedOnce) {
    ASSERT_NO_FATAL_FAILURE(Start());
    const int fourthJoint = rm->GetHardware()->jointData[3].canId;
    const struct {
        int channel;
        int canId;  // 0: reaches no module
        int bit;
    } cases[] = {
        {3, rm->GetHardware()->jointData[0].canId, 3},
        {12, fourthJoint, 2},
        {17, fourthJoint, 7},
        {24, IOBusTest::FirstModuleId, 4},
        {35, IOBusTest::SecondModuleId, 5},
        {8, 0, 0},   // bit 8 of the first joint module
        {19, 0, 0},  // bit 9 of the fourth
        {27, 0, 0},  // bit 7 of a DIO module
        {45, 0, 0},  // a third DIO module that this robot lacks
        {55, 0, 0},  // never sent
    };
    for (const auto& c : cases) rm->SetManualDOut(c.channel, true);
    ASSERT_TRUE(WaitFor([&]() {
        for (const auto& c : cases) {
            if (c.canId != 0 && !bus.SawOutput(c.canId, c.bit, true)) return false;
        }
        return true;
    })) << "every reachable output arrives in its module's frames";
    for (const auto& c : cases) {
        const std::string line = "RobotMaster: Output DOut" + std::to_string(c.channel + 1) + " is set but reaches no ";
        EXPECT_EQ(log.StartingWith(line).size(), c.canId == 0 ? 1u : 0u) << "output " << c.channel;
    }
    // Off and on again: still the one line.
    rm->SetManualDOut(8, false);
    RobotMaster::wait(100);
    rm->SetManualDOut(8, true);
    RobotMaster::wait(100);
    EXPECT_EQ(log.StartingWith("RobotMaster: Output DOut9 is set but reaches no ").size(), 1u);
}

}  // namespace
