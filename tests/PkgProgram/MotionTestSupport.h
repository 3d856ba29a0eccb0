#pragma once
// An interpreter with the six-axis test robot's limits (and optionally its
// kinematic model) whose motions are planned on the generator's thread; runs
// cycles of 10 ms and records the joint set-points while a path is sampled.

#include <array>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <tinyxml2.h>
#include <vector>

#include "PkgProgram/IPOTestSupport.h"
#include "PkgProgram/PathGenerator.h"
#include "kinematics/KinematicFactory.h"
#include "kinematics/RobotKinematic.h"

namespace MotionTest {

using Joints = std::array<float, 9>;

constexpr float MaxVel[9] = {90, 90, 90, 120, 120, 120, 100, 100, 100};
constexpr float MaxAcc[9] = {500, 500, 500, 500, 500, 500, 500, 500, 500};
constexpr int CycleMs = 10;

// The kinematic model of a robot file.
inline std::unique_ptr<RobotKinematic> KinematicOfFile(const std::string& path) {
    tinyxml2::XMLDocument doc;
    if (doc.LoadFile(path.c_str()) != tinyxml2::XML_SUCCESS) return nullptr;
    const tinyxml2::XMLElement* kin = doc.FirstChildElement("Robot")->FirstChildElement("Kinematic");
    std::unique_ptr<RobotKinematic> model = KinematicFactory::Create(kin->Attribute("Type"));
    if (model) {
        model->Init("ProgramTestRobot", kin->Attribute("Type"), path, -1);
        model->cycleTimeMs = CycleMs;
    }
    return model;
}

// The kinematic model of a fixture robot file.
inline std::unique_ptr<RobotKinematic> Kinematic(const std::string& fixture = "prog-sixaxis-robot.xml") {
    return KinematicOfFile(TestSupport::FixturePath(fixture));
}

class Robot : public IPOTest::Interpreter {
public:
    explicit Robot(bool withKinematic = false, int lookAhead = 3, IPO::IpoType type = IPO::IpoTypeMain)
        : IPOTest::Interpreter(type) {
        ipo.replayMode = IPO::ReplaySingle;
        ipo.InitPathGen(0, 100.0f, 10.0f, lookAhead);
        const float inc[9] = {};
        ipo.InitJointMaxValues(MaxVel, MaxAcc, inc, 250.0f, 1000.0f, 3000.0f, 90.0, 1000.0, 3000.0);
        if (withKinematic) {
            std::unique_ptr<RobotKinematic> model = Kinematic();
            ipo.SetKinematic(model.release());
        }
    }

    PathGenerator& Generator() { return *ipo.GetPathGenerator(); }

    Joints Current() const {
        Joints j{};
        for (int i = 0; i < 9; ++i) j[static_cast<std::size_t>(i)] = state.jointSetPoint[i];
        return j;
    }

    // One cycle; records the set-point when a path was being sampled. Planning
    // runs on its own thread: each cycle waits for it, so a path never becomes
    // available halfway through a cycle and runs repeat sample for sample
    // however slow the machine is.
    void Cycle(float override = 100.0f) {
        WaitForPlanning();
        const bool sampling = Generator().IsPathAvailable() && ipo.IsReplayRunning();
        ipo.GetNextPosition(CycleMs, override, &state);
        if (sampling) trace.push_back(Current());
    }

    void WaitForPlanning() {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (Generator().IsPathGenWorking() && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::microseconds(100));
    }

    // Cycles until the interpreter stops; false when it still runs after the limit.
    bool RunToStop(std::chrono::seconds limit = std::chrono::seconds(60)) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (ipo.IsReplayRunning()) {
            if (std::chrono::steady_clock::now() > end) return false;
            Cycle();
        }
        return true;
    }

    // Cycles until the condition holds; false after the limit.
    template <class Condition>
    bool CycleUntil(Condition condition, std::chrono::seconds limit = std::chrono::seconds(60)) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!condition()) {
            if (std::chrono::steady_clock::now() > end) return false;
            Cycle();
        }
        return true;
    }

    bool LoadAndStart(const std::string& file) {
        if (!Load(file)) return false;
        ipo.Start();
        return ipo.IsReplayRunning();
    }

    std::vector<Joints> trace;
};

}  // namespace MotionTest
