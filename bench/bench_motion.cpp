// Joint path generator: planning a program of 20 joint motions with corner
// smoothing and acceleration limiting, and the per-cycle sampling of a
// planned path by the robot thread.
// Run with KORVELLA_LOG_NO_WAIT=1 to skip the log's start-up wait.

#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "PkgProgram/CommandJoint.h"
#include "PkgProgram/PathGenerator_01Joint.h"
#include "datatypes/RobotState.h"
#include "kinematics/RobotKinematicSixAxis.h"

namespace {

constexpr int kMotions = 20;

// Twenty joint motions around a working pose, each smoothed into the next.
std::vector<std::shared_ptr<CommandJoint>> Program() {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> delta(-25.0f, 25.0f);
    const float base[6] = {0, 45, 45, 0, 60, 0};
    std::vector<std::shared_ptr<CommandJoint>> commands;
    for (int n = 0; n < kMotions; ++n) {
        auto c = std::make_shared<CommandJoint>();
        for (int i = 0; i < 6; ++i) c->target.jointSetPoint[i] = base[i] + delta(rng);
        const float maxVel[9] = {90, 90, 90, 120, 120, 120, 100, 100, 100};
        for (int i = 0; i < 9; ++i) c->jointMaxVelocity[i] = maxVel[i];
        c->velocity = 80.0f;
        c->acceleration = 50.0f;
        c->smoothing = n + 1 < kMotions ? 10.0f : 0.0f;
        c->succ[0] = n + 1 < kMotions ? n + 1 : -2;
        commands.push_back(c);
    }
    return commands;
}

struct Planner {
    Planner() : generator(kMotions) {
        arm.forearmAngle = std::atan(arm.lz3 / (arm.lx3 + arm.lx4));
        arm.cycleTimeMs = 10;
        generator.kinematic = &arm;
        generator.Init(true, 50, true);
        const float acc[9] = {500, 500, 500, 500, 500, 500, 500, 500, 500};
        generator.InitVelAcc(nullptr, acc, nullptr, 0, 0, 0, 0, 0, 0);
        start.jointSetPoint[1] = 45.0f;
        start.jointSetPoint[2] = 45.0f;
        start.jointSetPoint[4] = 60.0f;
    }
    void Queue() {
        generator.SetFirstCmd(commands[0], &start, 0, 1);
        for (int n = 1; n < kMotions; ++n) generator.SetNextCmd(commands[static_cast<std::size_t>(n)], n, n + 1);
    }
    RobotKinematicSixAxis arm;
    PathGenerator_01Joint generator;
    DataTypes::RobotState start;
    std::vector<std::shared_ptr<CommandJoint>> commands = Program();
};

// The whole planning as the planning thread runs it: sampling, smoothing, both limiting passes.
void BM_PlanTwentyJointMotions(benchmark::State& state) {
    Planner p;
    for (auto _ : state) {
        p.Queue();
        p.generator.ComputePath();
        benchmark::DoNotOptimize(p.generator.SampledPath().size());
    }
    state.counters["samples"] = static_cast<double>(p.generator.SampledPath().size());
}
BENCHMARK(BM_PlanTwentyJointMotions)->Unit(benchmark::kMillisecond);

// One robot cycle's look-up in the planned path (10 ms cycles at 100 % override).
void BM_SampleJointPathPerCycle(benchmark::State& state) {
    Planner p;
    p.Queue();
    p.generator.ComputePath();
    const long length = p.generator.GetSlicingTime() * static_cast<long>(p.generator.SampledPath().size());
    const DataTypes::RobotState current;
    float joints[9];
    long time = 0;
    for (auto _ : state) {
        int index = -1;
        long used = 0;
        benchmark::DoNotOptimize(
            p.generator.GetJointPosition(time, time + 10000, 10, current, -1.0, joints, index, used));
        benchmark::DoNotOptimize(joints);
        time = (time + 10000) % length;
    }
}
BENCHMARK(BM_SampleJointPathPerCycle);

}  // namespace

BENCHMARK_MAIN();
