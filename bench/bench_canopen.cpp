// One cycle of the CANopen driver for six drives in cyclic synchronous
// position with PDOs (the SYNC and SetJoints), against the simulated drives on
// an in-process bus, every drive enabled so that each gets its set-point.

#include "BenchSimBus.h"
#include "datatypes/RobotState.h"
#include "hardware/HardwareProtocolCANopen.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <thread>

namespace {

const char* kRobotFile = R"(<?xml version="1.0" encoding="UTF-8"?>
<Robot>
  <BusConfiguration Protocol="CANopen_CSP" CycleTimeMS="10" GapMS="0" SyncGapMS="0" UsePDOs="true">
    <Joints NrOfJoints="6"/>
    <Joint0 ID="1" GearScale="190" GearZero="0" GearPlay="0" GearPlayInc="0"/>
    <Joint1 ID="2" GearScale="-190" GearZero="0" GearPlay="0" GearPlayInc="0"/>
    <Joint2 ID="3" GearScale="100" GearZero="0" GearPlay="0" GearPlayInc="0"/>
    <Joint3 ID="4" GearScale="50" GearZero="0" GearPlay="0" GearPlayInc="0"/>
    <Joint4 ID="5" GearScale="50" GearZero="0" GearPlay="0" GearPlayInc="0"/>
    <Joint5 ID="6" GearScale="50" GearZero="0" GearPlay="0" GearPlayInc="0"/>
  </BusConfiguration>
  <Referencing Mandatory="true"/>
</Robot>
)";

void BM_CANopenCycleSixDrivesPDO(benchmark::State& st) {
    BenchSimBus bus(kRobotFile);
    if (!bus.ok) {
        st.SkipWithError(bus.error.c_str());
        return;
    }
    Hardware::HardwareProtocolCANopen driver(nullptr, Hardware::CANopenProfileCSP);
    driver.canInterface.SetSimulatedBus(bus.socket);
    driver.SetSleepFunction([](float ms) { Hardware::HardwareProtocol::wait(ms > 20.0f ? 20.0f : ms); });
    driver.Init("bench", "SixAxis", bus.robotFile);
    DataTypes::RobotState state;
    bool enabled = driver.Connect();
    if (enabled) {
        driver.EnableMotors(true);
        enabled = false;
        for (int i = 0; i < 2000 && !enabled; ++i) {
            driver.SendSync();
            driver.SetJoints(state);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            enabled = driver.GetMotorEnabled();
        }
    }
    if (!enabled) {
        st.SkipWithError("the simulated drives did not come up");
        return;
    }
    float t = 0.0f;
    for (auto _ : st) {
        t += 0.001f;
        for (int j = 0; j < 6; ++j) state.jointSetPoint[j] = t * static_cast<float>(j + 1);
        driver.SendSync();
        driver.SetJoints(state);
        driver.GetJoints(&state);
        benchmark::DoNotOptimize(state.jointActual[0]);
    }
}

}  // namespace

BENCHMARK(BM_CANopenCycleSixDrivesPDO)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
