// One per-cycle exchange of the joint-module protocol v2/v3 driver: six
// joints, no gap between frames, against the simulated modules on an
// in-process bus.

#include "BenchSimBus.h"
#include "datatypes/RobotState.h"
#include "hardware/HardwareProtocolVQTCANV2.h"

#include <benchmark/benchmark.h>

namespace {

const char* kRobotFile = R"(<?xml version="1.0" encoding="UTF-8"?>
<Robot>
  <BusConfiguration Protocol="VQTCANV3" GapMS="0">
    <Joints NrOfJoints="6"/>
    <Joint0 ID="16" GearScale="190" GearZero="0" GearPlay="0.2" GearPlayInc="0.01" CurrentScale="1" CurrentZero="0"/>
    <Joint1 ID="32" GearScale="190" GearZero="0" GearPlay="0" GearPlayInc="0" CurrentScale="1" CurrentZero="0"/>
    <Joint2 ID="48" GearScale="190" GearZero="0" GearPlay="0" GearPlayInc="0" CurrentScale="1" CurrentZero="0"/>
    <Joint3 ID="64" GearScale="50" GearZero="0" GearPlay="0" GearPlayInc="0" CurrentScale="1" CurrentZero="0"/>
    <Joint4 ID="80" GearScale="50" GearZero="0" GearPlay="0" GearPlayInc="0" CurrentScale="1" CurrentZero="0"/>
    <Joint5 ID="96" GearScale="50" GearZero="0" GearPlay="0" GearPlayInc="0" CurrentScale="1" CurrentZero="0"/>
  </BusConfiguration>
  <Referencing Mandatory="true"/>
</Robot>
)";

void BM_SetJointsSixJointsNoGap(benchmark::State& st) {
    BenchSimBus bus(kRobotFile);
    if (!bus.ok) {
        st.SkipWithError(bus.error.c_str());
        return;
    }
    Hardware::HardwareProtocolVQTCANV2 driver(nullptr);
    driver.protocolVersion = 3;
    driver.canInterface.SetSimulatedBus(bus.socket);
    driver.Init("bench", "SixAxis", bus.robotFile);
    if (!driver.Connect()) {
        st.SkipWithError("no connection to the simulated bus");
        return;
    }
    DataTypes::RobotState state;
    float t = 0.0f;
    for (auto _ : st) {
        t += 0.001f;
        for (int j = 0; j < 6; ++j) state.jointSetPoint[j] = t * static_cast<float>(j + 1);
        driver.SetJoints(state);
        driver.GetJoints(&state);
        benchmark::DoNotOptimize(state.jointActual[0]);
    }
}

}  // namespace

BENCHMARK(BM_SetJointsSixJointsNoGap)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
