// Cartesian set-points of the planar arms, the Dravo5 arm (both wrist
// handlings) and the three-axis gantry, as the robot thread calls them:
// SetPosition with a tool, on targets along a path.
// Run with KORVELLA_LOG_NO_WAIT=1 to skip the log's start-up wait.

#include <benchmark/benchmark.h>

#include <cmath>
#include <exception>
#include <random>
#include <vector>

#include "kinematics/KinMath.h"
#include "kinematics/RobotKinematic3AxisPlane.h"
#include "kinematics/RobotKinematicCartesian3Axis.h"
#include "kinematics/RobotKinematicDravo4.h"
#include "kinematics/RobotKinematicDravo5.h"

namespace {

constexpr int kSamples = 1024;

void SetTool(RobotKinematic& kin, double a, double b, double c, float x, float y, float z) {
    DataTypes::Matrix44 tool;
    tool.SetRotationABCDeg2(a, b, c);
    tool.SetTranslation(x, y, z);
    kin.tool.toolMatrix = tool;
    kin.tool.inverseToolMatrix = tool.Inverse();
}

// Joint vectors around one pose, like the set-points of a path.
std::vector<std::vector<float>> PathJoints(const float* base, int joints) {
    std::mt19937 rng(42);
    std::uniform_real_distribution<float> delta(-5.0f, 5.0f);
    std::vector<std::vector<float>> out;
    for (int n = 0; n < kSamples; ++n) {
        std::vector<float> j(base, base + 9);
        for (int i = 0; i < joints; ++i) j[i] += delta(rng);
        out.push_back(j);
    }
    return out;
}

// The poses of the joint vectors, optionally turned about the vertical
// through the tool centre point by up to `turnDeg`.
std::vector<DataTypes::Matrix44> Targets(RobotKinematic& kin, const std::vector<std::vector<float>>& joints,
                                         double turnDeg = 0) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> turn(turnDeg / 2, turnDeg);
    std::vector<DataTypes::Matrix44> out;
    for (const auto& j : joints) {
        kin.SetJoints(j.data(), false);
        DataTypes::Matrix44 t = kin.pose;
        if (turnDeg != 0) {
            KinMath::Frame f = KinMath::FromMatrix(t);
            KinMath::Frame r = KinMath::Mul(KinMath::RotZ(turn(rng) * KinMath::kDegToRad), f);
            for (int i = 0; i < 3; ++i) r.t[i] = f.t[i];
            t = KinMath::ToMatrix(r);
        }
        out.push_back(t);
    }
    kin.SetJoints(joints[0].data(), false);
    return out;
}

void RunInverse(benchmark::State& state, RobotKinematic& kin, const std::vector<DataTypes::Matrix44>& targets) {
    float ext[9] = {};
    size_t n = 0;
    long failures = 0;
    for (auto _ : state) {
        try {
            kin.SetPosition(targets[n], ext);
        } catch (int) {
            ++failures;
        } catch (const std::exception&) {
            ++failures;
        }
        benchmark::DoNotOptimize(kin.joints);
        n = (n + 1) % targets.size();
    }
    if (failures != 0) state.SkipWithError("inverse kinematics refused a target");
}

void BM_3AxisPlaneInverse(benchmark::State& state) {
    RobotKinematic3AxisPlane arm;
    arm.cycleTimeMs = 4;
    SetTool(arm, 0, 20, 0, 5, 0, 60);
    const float base[9] = {20, 70, 30, 0, 0, 0, 0, 0, 0};
    const auto joints = PathJoints(base, 3);
    RunInverse(state, arm, Targets(arm, joints));
}
BENCHMARK(BM_3AxisPlaneInverse)->Repetitions(10)->ReportAggregatesOnly(true);

void BM_Dravo4Inverse(benchmark::State& state) {
    RobotKinematicDravo4 arm;
    arm.cycleTimeMs = 4;
    SetTool(arm, 90, -20, 15, 10, -5, 60);
    const float base[9] = {30, 20, 70, 20, 0, 0, 0, 0, 0};
    const auto joints = PathJoints(base, 4);
    RunInverse(state, arm, Targets(arm, joints));
}
BENCHMARK(BM_Dravo4Inverse)->Repetitions(10)->ReportAggregatesOnly(true);

void SetUpDravo5(RobotKinematicDravo5& arm) {
    arm.cycleTimeMs = 4;
    arm.lz2 = 300;
    arm.lz3 = 260;
    arm.ly0 = 20;
    arm.singularityCenter = 40;
}

void BM_Dravo5Inverse(benchmark::State& state) {
    RobotKinematicDravo5 arm;
    SetUpDravo5(arm);
    SetTool(arm, 30, 0, 0, 0, 0, 90);  // along the flange axis, turned about it
    const float base[9] = {20, 30, -40, 30, 45, 0, 0, 0, 0};
    const auto joints = PathJoints(base, 5);
    RunInverse(state, arm, Targets(arm, joints));
}
BENCHMARK(BM_Dravo5Inverse)->Repetitions(10)->ReportAggregatesOnly(true);

void BM_Dravo5Type2Inverse(benchmark::State& state) {
    RobotKinematicDravo5 arm;
    SetUpDravo5(arm);
    arm.wristRedundancyHandling = 1;
    SetTool(arm, 0, 0, 0, 0, 100, 50);  // centre point beside the flange axis
    const float base[9] = {20, 30, -40, 30, 45, 0, 0, 0, 0};
    const auto joints = PathJoints(base, 5);
    // Turned out of the arm's plane: the search has to turn them back.
    RunInverse(state, arm, Targets(arm, joints, 15.0));
}
BENCHMARK(BM_Dravo5Type2Inverse)->Repetitions(10)->ReportAggregatesOnly(true);

void BM_Cartesian3AxisInverse(benchmark::State& state) {
    RobotKinematicCartesian3Axis gantry;
    gantry.cycleTimeMs = 4;
    gantry.fourthAxis = true;
    gantry.nrOfJoints = 4;
    gantry.axisDirections[0] = DataTypes::Vector3(2, 0, 0);
    gantry.axisDirections[1] = DataTypes::Vector3(0.5f, 1.5f, 0);
    gantry.axisDirections[2] = DataTypes::Vector3(0.2f, 0.1f, -1);
    gantry.axisMatrix = DataTypes::Matrix44(gantry.axisDirections[0], gantry.axisDirections[1],
                                            gantry.axisDirections[2], DataTypes::Vector3(0, 0, 0));
    gantry.axisMatrixInverse = gantry.axisMatrix.Inverse();
    for (int i = 0; i < 4; ++i) {
        gantry.jointLimits[i][0] = -1000;
        gantry.jointLimits[i][1] = 1000;
    }
    SetTool(gantry, 30, 0, 0, 0, 20, 90);
    const float base[9] = {100, 150, 50, 30, 0, 0, 0, 0, 0};
    const auto joints = PathJoints(base, 4);
    RunInverse(state, gantry, Targets(gantry, joints));
}
BENCHMARK(BM_Cartesian3AxisInverse)->Repetitions(10)->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
