// Deltas and SCARAs: the Cartesian set-point (analytic inverse kinematics
// with its checks) as the robot thread calls it, and the rotary delta's
// forward search following joints that move a few mm per call.
// Run with KORVELLA_LOG_NO_WAIT=1 to skip the log's start-up wait.

#include <benchmark/benchmark.h>

#include <cmath>
#include <functional>
#include <vector>

#include "kinematics/RobotKinematicDelta.h"
#include "kinematics/RobotKinematicDelta2Linear.h"
#include "kinematics/RobotKinematicDeltaLinear.h"
#include "kinematics/RobotKinematicSCARALRRR.h"
#include "kinematics/RobotKinematicSCARARRLR.h"
#include "kinematics/RobotKinematicSCARARRR.h"

namespace {

constexpr int kSamples = 1024;

// Tool poses of joint vectors along a closed path: every step is small, the
// step from the last back to the first too.
std::vector<DataTypes::Matrix44> PathPoses(RobotKinematic& kin, const std::function<void(double, float*)>& joints) {
    std::vector<DataTypes::Matrix44> poses;
    for (int n = 0; n < kSamples; ++n) {
        float q[9] = {};
        joints(2.0 * M_PI * n / kSamples, q);
        kin.SetJoints(q, false);
        poses.push_back(kin.pose);
    }
    return poses;
}

void RunInverse(benchmark::State& state, RobotKinematic& kin, const std::vector<DataTypes::Matrix44>& targets) {
    kin.SetPosition(targets[0], std::vector<float>(9, 0.0f).data());
    float ext[9] = {};
    size_t n = 0;
    long failures = 0;
    for (auto _ : state) {
        try {
            kin.SetPosition(targets[n], ext);
        } catch (...) {
            ++failures;
        }
        benchmark::DoNotOptimize(kin.joints);
        n = (n + 1) % targets.size();
    }
    if (failures != 0) state.SkipWithError("a target was refused");
}

// A circle of 60 mm radius, rising and falling by 40 mm: some 0.4 mm per call.
std::vector<DataTypes::Matrix44> DeltaPath() {
    std::vector<DataTypes::Matrix44> out;
    for (int n = 0; n < kSamples; ++n) {
        const double a = 2.0 * M_PI * n / kSamples;
        DataTypes::Matrix44 m;
        m.SetTranslation(static_cast<float>(60 * std::cos(a)), static_cast<float>(60 * std::sin(a)),
                         static_cast<float>(220 + 40 * std::sin(2 * a)));
        out.push_back(m);
    }
    return out;
}

void SetTool(RobotKinematic& kin) {
    DataTypes::Matrix44 t;
    t.SetRotationABCDeg2(30, 0, 0);
    t.SetTranslation(10, -5, 40);
    kin.tool.toolMatrix = t;
    kin.tool.inverseToolMatrix = t.Inverse();
}

void BM_DeltaInverse(benchmark::State& state) {
    RobotKinematicDelta kin;
    kin.Init("Bench", "Delta", "", -1);
    kin.cycleTimeMs = 4;
    RunInverse(state, kin, DeltaPath());
}
BENCHMARK(BM_DeltaInverse)->Repetitions(10)->ReportAggregatesOnly(true);

void BM_DeltaForward(benchmark::State& state) {
    RobotKinematicDelta kin;
    kin.Init("Bench", "Delta", "", -1);
    kin.cycleTimeMs = 4;
    // Joints of a path whose steps are about 4 mm.
    std::vector<std::vector<float>> joints;
    float ext[9] = {};
    const auto path = DeltaPath();
    for (size_t n = 0; n < path.size(); n += 10) {
        kin.SetPosition(path[n], ext);
        std::vector<float> q(9);
        kin.GetJoints(q.data());
        joints.push_back(q);
    }
    kin.SetJoints(joints[0].data(), true);
    size_t n = 0;
    long failures = 0;
    for (auto _ : state) {
        try {
            kin.SetJoints(joints[n].data(), true);
        } catch (...) {
            ++failures;
        }
        benchmark::DoNotOptimize(kin.pose);
        n = (n + 1) % joints.size();
    }
    if (failures != 0) state.SkipWithError("a joint set-point was refused");
}
BENCHMARK(BM_DeltaForward)->Repetitions(10)->ReportAggregatesOnly(true);

void BM_DeltaLinearInverse(benchmark::State& state) {
    RobotKinematicDeltaLinear kin;
    kin.cycleTimeMs = 4;
    kin.fourthAxis = true;
    kin.nrOfJoints = 4;
    SetTool(kin);
    const auto targets = PathPoses(kin, [](double a, float* q) {
        q[0] = static_cast<float>(120 + 60 * std::cos(a));
        q[1] = static_cast<float>(120 + 60 * std::sin(a));
        q[2] = static_cast<float>(120 - 40 * std::cos(a));
        q[3] = static_cast<float>(90 * std::sin(a));
    });
    RunInverse(state, kin, targets);
}
BENCHMARK(BM_DeltaLinearInverse)->Repetitions(10)->ReportAggregatesOnly(true);

void BM_Delta2LinearInverse(benchmark::State& state) {
    RobotKinematicDelta2Linear kin;
    kin.cycleTimeMs = 4;
    kin.railLDZ = 350;
    kin.railRDZ = 350;
    kin.PrepareKinematic();
    const auto targets = PathPoses(kin, [](double a, float* q) {
        q[0] = static_cast<float>(100 + 60 * std::cos(a));
        q[1] = static_cast<float>(100 + 60 * std::sin(a));
    });
    RunInverse(state, kin, targets);
}
BENCHMARK(BM_Delta2LinearInverse)->Repetitions(10)->ReportAggregatesOnly(true);

// SCARA joints along a closed path; `linear` adds the vertical joint first.
void ScaraJoints(double a, float* q, bool linear, bool fourth) {
    int j = 0;
    if (linear) q[j++] = static_cast<float>(100 + 50 * std::sin(a));
    q[j++] = static_cast<float>(30 + 60 * std::cos(a));
    q[j++] = static_cast<float>(-70 + 40 * std::sin(a));
    if (fourth) q[j] = static_cast<float>(45 * std::cos(2 * a));
}

template <typename T>
void RunScara(benchmark::State& state, bool linear, bool fourth) {
    T kin;
    kin.cycleTimeMs = 4;
    kin.jointOffsets[2] = 0;
    SetTool(kin);
    const auto targets = PathPoses(kin, [&](double a, float* q) { ScaraJoints(a, q, linear, fourth); });
    RunInverse(state, kin, targets);
}

void BM_SCARALRRRInverse(benchmark::State& state) {
    RunScara<RobotKinematicSCARALRRR>(state, true, false);
}
BENCHMARK(BM_SCARALRRRInverse)->Repetitions(10)->ReportAggregatesOnly(true);

void BM_SCARARRLRInverse(benchmark::State& state) {
    RunScara<RobotKinematicSCARARRLR>(state, true, false);
}
BENCHMARK(BM_SCARARRLRInverse)->Repetitions(10)->ReportAggregatesOnly(true);

void BM_SCARARRRInverse(benchmark::State& state) {
    RunScara<RobotKinematicSCARARRR>(state, false, false);
}
BENCHMARK(BM_SCARARRRInverse)->Repetitions(10)->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
