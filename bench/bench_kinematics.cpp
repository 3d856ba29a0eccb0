// Six-axis arm: forward kinematics of a joint set-point and the analytic
// inverse kinematics of a Cartesian set-point, as the robot thread calls them.
// Run with KORVELLA_LOG_NO_WAIT=1 to skip the log's start-up wait.

#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "kinematics/RobotKinematicSixAxis.h"

namespace {

constexpr int kSamples = 1024;

// The built-in geometry with a tool that has offset and rotation.
void SetUpArm(RobotKinematicSixAxis& arm) {
    arm.forearmAngle = std::atan(arm.lz3 / (arm.lx3 + arm.lx4));
    arm.cycleTimeMs = 4;
    DataTypes::Matrix44 tool;
    tool.SetRotationABCDeg2(90, -20, 15);
    tool.SetTranslation(10, -5, 120);
    arm.tool.toolMatrix = tool;
    arm.tool.inverseToolMatrix = tool.Inverse();
}

// Joint vectors around one arm pose, like the set-points of a path.
std::vector<std::vector<float>> PathJoints() {
    std::mt19937 rng(42);
    std::uniform_real_distribution<float> delta(-5.0f, 5.0f);
    const float base[9] = {20, 30, -40, 30, 45, -60, 0, 0, 0};
    std::vector<std::vector<float>> out;
    for (int n = 0; n < kSamples; ++n) {
        std::vector<float> j(base, base + 9);
        for (int i = 0; i < 6; ++i) j[i] += delta(rng);
        out.push_back(j);
    }
    return out;
}

void BM_SixAxisForward(benchmark::State& state) {
    RobotKinematicSixAxis arm;
    SetUpArm(arm);
    const auto joints = PathJoints();
    size_t n = 0;
    for (auto _ : state) {
        arm.SetJoints(joints[n].data(), true);
        benchmark::DoNotOptimize(arm.pose);
        n = (n + 1) % joints.size();
    }
}
BENCHMARK(BM_SixAxisForward)->Repetitions(10)->ReportAggregatesOnly(true);

void BM_SixAxisInverse(benchmark::State& state) {
    RobotKinematicSixAxis arm;
    SetUpArm(arm);
    const auto joints = PathJoints();
    std::vector<DataTypes::Matrix44> targets;
    for (const auto& j : joints) {
        arm.SetJoints(j.data(), false);
        targets.push_back(arm.pose);
    }
    arm.SetJoints(joints[0].data(), false);
    float ext[9] = {};
    size_t n = 0;
    long failures = 0;
    for (auto _ : state) {
        try {
            arm.SetPosition(targets[n], ext);
        } catch (int) {
            ++failures;
        }
        benchmark::DoNotOptimize(arm.joints);
        n = (n + 1) % targets.size();
    }
    if (failures != 0) state.SkipWithError("inverse kinematics refused a target");
}
BENCHMARK(BM_SixAxisInverse)->Repetitions(10)->ReportAggregatesOnly(true);

// The solver alone, without the joint checks and the commit.
void BM_SixAxisInverseKinOnly(benchmark::State& state) {
    RobotKinematicSixAxis arm;
    SetUpArm(arm);
    const auto joints = PathJoints();
    std::vector<DataTypes::Matrix44> targets;
    for (const auto& j : joints) {
        arm.SetJoints(j.data(), false);
        targets.push_back(arm.pose);
    }
    float q[9] = {};
    size_t n = 0;
    for (auto _ : state) {
        arm.InverseKin(targets[n], q);
        benchmark::DoNotOptimize(q);
        n = (n + 1) % targets.size();
    }
}
BENCHMARK(BM_SixAxisInverseKinOnly)->Repetitions(10)->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
