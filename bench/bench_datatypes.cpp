// Throughput of the pose math that the kinematics and path planning run every cycle.

#include <benchmark/benchmark.h>

#include "datatypes/BezierCasteljau.h"
#include "datatypes/Matrix44.h"

namespace {

DataTypes::Matrix44 SamplePose() {
    DataTypes::Matrix44 m;
    m.SetRotationABCDeg2(30, -20, 75);
    m.SetTranslation(400, -120, 650);
    return m;
}

void BM_Matrix44Product(benchmark::State& state) {
    DataTypes::Matrix44 a = SamplePose();
    const DataTypes::Matrix44 b = SamplePose().Inverse();
    for (auto _ : state) {
        benchmark::DoNotOptimize(a = a * b);
    }
}
BENCHMARK(BM_Matrix44Product);

void BM_Matrix44Inverse(benchmark::State& state) {
    const DataTypes::Matrix44 a = SamplePose();
    for (auto _ : state) {
        benchmark::DoNotOptimize(a.Inverse());
    }
}
BENCHMARK(BM_Matrix44Inverse);

void BM_Matrix44AbcRoundTrip(benchmark::State& state) {
    DataTypes::Matrix44 m;
    float a = 30, b = -20, c = 75;
    for (auto _ : state) {
        m.SetRotationABCDeg2(a, b, c);
        m.GetABCDeg(&a, &b, &c);
        benchmark::DoNotOptimize(a);
    }
}
BENCHMARK(BM_Matrix44AbcRoundTrip);

void BM_BezierInterpolate(benchmark::State& state) {
    DataTypes::BezierCasteljau curve(6);
    for (int i = 0; i < state.range(0); ++i) {
        const float p[6] = {1.0f * i, 2.0f, -1.0f * i, 0.5f, 3.0f, 1.0f};
        curve.AddStartPoint(p);
    }
    float out[6];
    float t = 0.0f;
    for (auto _ : state) {
        curve.Interpolate(t, out);
        benchmark::DoNotOptimize(out);
        t = t > 1.0f ? 0.0f : t + 0.001f;
    }
}
BENCHMARK(BM_BezierInterpolate)->Arg(4)->Arg(16);

}  // namespace

BENCHMARK_MAIN();
