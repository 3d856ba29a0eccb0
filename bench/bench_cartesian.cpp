// Cartesian path generator on the six-axis sample robot: planning ten blended
// lines and arcs (target under 20 ms), and one robot cycle's sampling of the
// planned path with its inverse kinematics (target under 2 us).
// Run with KORVELLA_LOG_NO_WAIT=1 to skip the log's start-up wait.

#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <tinyxml2.h>
#include <vector>

#include "PkgProgram/CommandCircular.h"
#include "PkgProgram/CommandLinear.h"
#include "PkgProgram/PathGenerator_02Linear.h"
#include "datatypes/RobotState.h"
#include "kinematics/KinematicFactory.h"
#include "kinematics/RobotKinematic.h"

namespace {

std::string SampleRobot() {
    const std::string here = __FILE__;
    return here.substr(0, here.rfind('/')) + "/../samples/six-axis/Data/Robots/KorvellaSix/KorvellaSix.xml";
}

std::unique_ptr<RobotKinematic> Arm() {
    const std::string path = SampleRobot();
    tinyxml2::XMLDocument doc;
    if (doc.LoadFile(path.c_str()) != tinyxml2::XML_SUCCESS) return nullptr;
    const tinyxml2::XMLElement* kin = doc.FirstChildElement("Robot")->FirstChildElement("Kinematic");
    std::unique_ptr<RobotKinematic> arm = KinematicFactory::Create(kin->Attribute("Type"));
    if (arm) {
        arm->Init("Sample", kin->Attribute("Type"), path, -1);
        arm->cycleTimeMs = 10;
    }
    return arm;
}

struct Planner {
    Planner() : arm(Arm()), generator(100.0f, 10.0f, 10) {
        generator.kinematic = arm.get();
        const float vel[9] = {90, 90, 90, 120, 120, 120, 100, 100, 100};
        const float acc[9] = {500, 500, 500, 500, 500, 500, 500, 500, 500};
        const float jerk[9] = {2000, 2000, 2000, 2000, 2000, 2000, 2000, 2000, 2000};
        generator.InitVelAcc(vel, acc, jerk, 250, 1000, 3000, 90, 1000, 3000);
        // Tool at (480, 0, 300) pointing down.
        DataTypes::Matrix44 pose;
        pose.SetRotationABCDeg2(180, 0, 180);
        pose.SetTranslation(480, 0, 300);
        const float guess[9] = {0, 20, 10, 0, 60, 0, 0, 0, 0};
        for (int i = 0; i < 9; ++i) start.jointSetPoint[i] = guess[i];
        arm->SetJoints(start.jointSetPoint, false);
        arm->SetPosition(pose, start.jointSetPoint);
        arm->GetJoints(start.jointSetPoint);
        // Ten motions around a square with arcs at two corners, each blended into the next.
        const DataTypes::Vector3 abc(180, 0, 180);
        auto line = [&](float x, float y, float z) {
            auto c = std::make_shared<CommandLinear>();
            c->SetTarget(x, y, z, abc.x, abc.y, abc.z);
            c->cartVelocity = 200.0f;
            c->acceleration = 80.0f;
            c->smoothing = 30.0f;
            commands.push_back(c);
        };
        auto arc = [&](DataTypes::Vector3 via, DataTypes::Vector3 end) {
            auto c = std::make_shared<CommandCircular>();
            c->viaPoint = via;
            c->endPoint = end;
            c->targetOrientation = abc;
            c->cartVelocity = 150.0f;
            c->acceleration = 80.0f;
            c->smoothing = 30.0f;
            commands.push_back(c);
        };
        line(560, 0, 300);
        arc({588, 12, 300}, {600, 40, 300});
        line(600, 120, 300);
        line(520, 120, 320);
        arc({492, 108, 320}, {480, 80, 320});
        line(480, -40, 300);
        line(560, -60, 280);
        arc({590, -40, 290}, {600, -10, 300});
        line(600, 60, 300);
        line(500, 30, 300);
        commands.back()->smoothing = 0.0f;
    }
    void Plan() {
        generator.SetFirstCmd(commands[0], &start, 0, 1);
        for (std::size_t i = 1; i < commands.size(); ++i)
            generator.SetNextCmd(commands[i], static_cast<int>(i), static_cast<int>(i) + 1);
        generator.ComputePath();
    }
    std::unique_ptr<RobotKinematic> arm;
    PathGenerator_02Linear generator;
    DataTypes::RobotState start;
    std::vector<std::shared_ptr<Command>> commands;
};

void BM_PlanTenBlendedLinesAndArcs(benchmark::State& state) {
    Planner p;
    for (auto _ : state) {
        p.Plan();
        benchmark::DoNotOptimize(p.generator.IsPathAvailable());
    }
    if (!p.generator.IsPathAvailable()) state.SkipWithError("planning failed");
    state.counters["elements"] = static_cast<double>(p.generator.Elements().size());
    state.counters["path_ms"] = p.generator.EndTimes().empty() ? 0.0 : p.generator.EndTimes().back();
}
BENCHMARK(BM_PlanTenBlendedLinesAndArcs)->Unit(benchmark::kMillisecond);

// One robot cycle: the element covering the time, its position, inverse kinematics.
void BM_SampleCartesianPathPerCycle(benchmark::State& state) {
    Planner p;
    p.Plan();
    if (!p.generator.IsPathAvailable()) {
        state.SkipWithError("planning failed");
        return;
    }
    const long total = static_cast<long>(p.generator.EndTimes().back() * 1000.0f);
    long from = 0;
    float joints[9];
    int command = 0;
    long used = 0;
    for (auto _ : state) {
        // Walk the path; start over (from the first element) after its end.
        if (from + 10000 >= total) {
            state.PauseTiming();
            p.Plan();
            from = 0;
            state.ResumeTiming();
        }
        p.generator.GetJointPosition(from, from + 10000, 10, p.start, -1.0, joints, command, used);
        from += used;
        benchmark::DoNotOptimize(joints[0]);
    }
}
BENCHMARK(BM_SampleCartesianPathPerCycle)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
