// One per-cycle exchange of the joint-module protocol v2/v3 driver: six
// joints, no gap between frames, against the simulated modules on an
// in-process bus.

#include "datatypes/RobotState.h"
#include "hardware/HardwareProtocolVQTCANV2.h"
#include "korvella-cansim/Hub.h"
#include "korvella-cansim/SimFaultChannel.h"
#include "korvella-cansim/SimRobotConfig.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

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
    char dirTemplate[] = "/tmp/korvella-bench-XXXXXX";
    if (mkdtemp(dirTemplate) == nullptr) {
        st.SkipWithError("mkdtemp failed");
        return;
    }
    const std::string dir = dirTemplate;
    const std::string robotFile = dir + "/robot.xml";
    std::ofstream(robotFile) << kRobotFile;

    CanSim::Hub hub;
    std::string error;
    if (!hub.Start(dir + "/bus.sock", std::string(), &error)) {
        st.SkipWithError(error.c_str());
        return;
    }
    CanSim::SimRobotConfig config;
    CanSim::SimRobotConfig::Load(robotFile, config, error);
    CanSim::SimFaultChannel sim(hub);
    sim.Populate(config, error);

    {
        Hardware::HardwareProtocolVQTCANV2 driver(nullptr);
        driver.protocolVersion = 3;
        driver.canInterface.SetSimulatedBus(dir + "/bus.sock");
        driver.Init("bench", "SixAxis", robotFile);
        if (!driver.Connect()) {
            st.SkipWithError("no connection to the simulated bus");
        } else {
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
    }
    hub.Stop();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

}  // namespace

BENCHMARK(BM_SetJointsSixJointsNoGap)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
