#pragma once
// An interpreter with the six-axis test robot's limits (and optionally its
// kinematic model) whose motions are planned on the generator's thread; runs
// cycles of 10 ms and records the joint set-points while a path is sampled.

#include <algorithm>
#include <array>
#include <cmath>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <tinyxml2.h>
#include <vector>

#include "PkgProgram/IPOTestSupport.h"
#include "PkgProgram/PathGenerator.h"
#include "datatypes/Matrix44.h"
#include "kinematics/KinematicFactory.h"
#include "kinematics/RobotKinematic.h"

namespace MotionTest {

using Joints = std::array<float, 9>;

constexpr float MaxVel[9] = {90, 90, 90, 120, 120, 120, 100, 100, 100};
constexpr float MaxAcc[9] = {500, 500, 500, 500, 500, 500, 500, 500, 500};
constexpr int CycleMs = 10;
// Limits that differ from joint to joint, so that a joint held to another one's limit shows.
constexpr float Vel[9] = {90, 75, 100, 120, 110, 130, 100, 100, 100};
constexpr float Acc[9] = {500, 400, 600, 700, 650, 800, 500, 500, 500};
constexpr float Jerk[9] = {2000, 2000, 2000, 2000, 2000, 2000, 2000, 2000, 2000};

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

// Peak rates of each robot joint over a set-point trace of one entry per 10 ms cycle: velocity,
// acceleration from one cycle to the next, and acceleration over 50 ms windows (the velocity of a
// cycle against the one five cycles before).
struct JointRates {
    float velocity[6] = {};
    float cycleAcc[6] = {};
    float windowAcc[6] = {};
};

inline JointRates MeasureJointRates(const std::vector<Joints>& trace) {
    constexpr int window = 5;
    const double dt = CycleMs / 1000.0;
    JointRates r;
    std::vector<std::array<double, 6>> v;
    for (std::size_t k = 1; k < trace.size(); ++k) {
        std::array<double, 6> s{};
        for (std::size_t i = 0; i < 6; ++i) s[i] = (trace[k][i] - trace[k - 1][i]) / dt;
        v.push_back(s);
    }
    for (std::size_t k = 0; k < v.size(); ++k) {
        for (std::size_t i = 0; i < 6; ++i) {
            r.velocity[i] = std::max(r.velocity[i], static_cast<float>(std::fabs(v[k][i])));
            if (k > 0) r.cycleAcc[i] = std::max(r.cycleAcc[i], static_cast<float>(std::fabs(v[k][i] - v[k - 1][i]) / dt));
            if (k >= window)
                r.windowAcc[i] =
                    std::max(r.windowAcc[i], static_cast<float>(std::fabs(v[k][i] - v[k - window][i]) / (window * dt)));
        }
    }
    return r;
}

// The joints that put the tool on a pose, the kinematic branch chosen by the seed.
inline Joints JointsOfPose(RobotKinematic& model, const DataTypes::Matrix44& pose, const float* seed) {
    float joints[9];
    for (int i = 0; i < 9; ++i) joints[i] = seed[i];
    model.SetJoints(joints, false);
    model.SetPosition(pose, joints);
    model.GetJoints(joints);
    Joints out{};
    for (int i = 0; i < 9; ++i) out[static_cast<std::size_t>(i)] = joints[i];
    return out;
}

}  // namespace MotionTest
