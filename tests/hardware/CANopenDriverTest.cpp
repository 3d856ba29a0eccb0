// The CANopen driver against the simulated CiA 402 drives and CiA 401 I/O
// nodes: connection, the state walks, enable and disable, error reset,
// referencing and set to zero, set-points by profile, I/O, and the reactions
// to injected faults.

#include "hardware/CANopenDriverTestSupport.h"

#include "common/LogSingleton.h"
#include "hardware/ExternalAxis.h"

#include <cmath>
#include <cstring>

using CANopenTest::DriverFixture;
using V2Test::TestClock;

namespace {

class CANopenDriver : public DriverFixture {};

TEST_F(CANopenDriver, ConnectsEnablesMovesAndDisables) {
    Simulate();
    ConnectDriver();
    EXPECT_TRUE(log->Has("CANopen: Connection succeeded"));
    EXPECT_TRUE(log->Has("CANopen: Device ID: 3 Name: 'Korvella SimDrive' Firmware 'KSD-v0100'"));
    EXPECT_TRUE(log->Has("CANopen: NMT-Request ENTER_OPERATIONAL for all devices"));
    EXPECT_TRUE(log->Has("CANopen: initializing CSP mode for CANid 6, protocol cycle time 10 ms"));
    EXPECT_TRUE(log->Has("CANopen: Initializing PDOs for joint 1"));
    EXPECT_TRUE(log->StartingWith("CANopen SDO ERROR").empty());
    EXPECT_FALSE(driver->GetMotorEnabled());
    for (int i = 0; i < 6; ++i) EXPECT_EQ(driver->jointData[i].profile, Hardware::CANopenProfileCSP) << i;

    Drain();
    driver->EnableMotors(true);
    ASSERT_TRUE(CycleUntil([&] { return driver->GetMotorEnabled(); }));
    Cycle();
    EXPECT_EQ(lastShortError, "operation_enabled");
    const auto enabling = Drain();
    EXPECT_EQ(Controlwords(enabling, 1), (std::vector<int>{0x0007, 0x000F}));
    EXPECT_TRUE(log->Has("CANopen: Joint 1: Requested state change from ready_to_switch_on to operation_enabled"));

    // CSP set-points by PDO: node 3 (GearScale 100) at 12.5 -> 1250.
    for (int i = 0; i < 6; ++i) state.jointSetPoint[i] = 1.0f + i;
    state.jointSetPoint[2] = 12.5f;
    ASSERT_TRUE(CycleUntil([&] { return std::fabs(state.jointActual[2] - 12.5f) < 1e-3f; }));
    EXPECT_EQ(sim->Drive(3)->Position(), 1250);
    EXPECT_EQ(sim->Drive(2)->Position(), -380);  // 2 * -190
    const auto cycle = Drain();
    EXPECT_FALSE(WithId(cycle, 0x203).empty());
    EXPECT_FALSE(WithId(cycle, 0x80).empty());
    int codes[16] = {};
    driver->GetErrorHexCode(codes);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(codes[i], 0) << i;

    driver->EnableMotors(false);
    ASSERT_TRUE(CycleUntil([&] { return !driver->GetMotorEnabled() && State(5) == "switched_on"; }));
    EXPECT_EQ(Controlwords(Drain(), 6), std::vector<int>{0x0007});
    for (int i = 0; i < 6; ++i) EXPECT_EQ(sim->Drive(i + 1)->GetState(), CanSim::SimCANopenDrive::State::SwitchedOn);
}

}  // namespace
