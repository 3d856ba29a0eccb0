#pragma once
// The Cartesian path generator on the six-axis test robot: motion commands
// built in code, a planner that samples its path the way the interpreter
// does, and an interpreter whose generator type is the Cartesian one.

#include <cmath>
#include <memory>
#include <vector>

#include "PkgProgram/CommandCircular.h"
#include "PkgProgram/CommandLinear.h"
#include "PkgProgram/MotionTestSupport.h"
#include "PkgProgram/PathGenerator_02Linear.h"
#include "datatypes/RobotState.h"
#include "datatypes/Vector3.h"

namespace CartesianTest {

// The pose of the joints by the model's forward kinematics, with the joints as set-points.
inline DataTypes::RobotState PoseOf(RobotKinematic& model, const float* joints) {
    DataTypes::RobotState s;
    model.SetJoints(joints, false);
    model.GetPosition(&s);
    s.UpdateABC();
    for (int i = 0; i < 9; ++i) s.jointSetPoint[i] = joints[i];
    return s;
}

constexpr float JointVel[9] = {90, 90, 90, 120, 120, 120, 100, 100, 100};
constexpr float JointAcc[9] = {500, 500, 500, 500, 500, 500, 500, 500, 500};
constexpr float JointJerk[9] = {2000, 2000, 2000, 2000, 2000, 2000, 2000, 2000, 2000};
constexpr float CartVel = 250.0f;
constexpr float CartAcc = 1000.0f;
constexpr float CartJerk = 3000.0f;
constexpr float OriVel = 90.0f;
constexpr float OriAcc = 1000.0f;
constexpr float OriJerk = 3000.0f;

inline std::shared_ptr<CommandLinear> Line(const DataTypes::Vector3& p, const DataTypes::Vector3& abc, float vel,
                                           float acc, float smooth) {
    auto c = std::make_shared<CommandLinear>();
    c->SetTarget(p.x, p.y, p.z, abc.x, abc.y, abc.z);
    c->cartVelocity = vel;
    c->acceleration = acc;
    c->smoothing = smooth;
    return c;
}

inline std::shared_ptr<CommandCircular> Arc(const DataTypes::Vector3& via, const DataTypes::Vector3& end,
                                            const DataTypes::Vector3& abc, float vel, float acc, float smooth) {
    auto c = std::make_shared<CommandCircular>();
    c->viaPoint = via;
    c->endPoint = end;
    c->targetOrientation = abc;
    c->cartVelocity = vel;
    c->acceleration = acc;
    c->smoothing = smooth;
    return c;
}

// Angle in degrees between two poses' orientations.
inline float OrientationError(const DataTypes::Matrix44& a, const DataTypes::Matrix44& b) {
    DataTypes::Matrix44 ra = a;
    DataTypes::Matrix44 rb = b;
    ra.SetTranslation(0.0f, 0.0f, 0.0f);
    rb.SetTranslation(0.0f, 0.0f, 0.0f);
    DataTypes::Vector3 axis;
    float angle = 0.0f;
    (ra.Inverse() * rb).GetAxisAngle(&axis, &angle);
    return angle;
}

struct Sample {
    float joints[9];
    DataTypes::Vector3 position;
    DataTypes::Matrix44 pose;
    int element;   // the element the sample fell into
    int command;   // the command index the generator reported
    double timeMs; // path time of the sample
};

// The generator on its own kinematic copy, with a second copy for the test's forward kinematics.
class Planner {
public:
    explicit Planner(float smoothDistCart = 100.0f, int lookAhead = 10)
        : arm(MotionTest::Kinematic()), model(MotionTest::Kinematic()), generator(smoothDistCart, 10.0f, lookAhead) {
        generator.kinematic = arm.get();
        generator.InitVelAcc(JointVel, JointAcc, JointJerk, CartVel, CartAcc, CartJerk, OriVel, OriAcc, OriJerk);
        const float joints[9] = {0, 17.8f, 10.7f, 0, 61.4f, 0, 0, 0, 0};
        for (int i = 0; i < 9; ++i) start.jointSetPoint[i] = joints[i];
        start = Pose(start.jointSetPoint);
        for (int i = 0; i < 9; ++i) start.jointSetPoint[i] = joints[i];
    }

    // The pose of the joints by forward kinematics.
    DataTypes::RobotState Pose(const float* joints) const { return PoseOf(*model, joints); }

    // Queues the commands (indices 0.., successors 1..) and plans on this thread.
    void Plan(const std::vector<std::shared_ptr<Command>>& commands) {
        generator.SetFirstCmd(commands[0], &start, 0, 1);
        for (std::size_t i = 1; i < commands.size(); ++i)
            generator.SetNextCmd(commands[i], static_cast<int>(i), static_cast<int>(i) + 1);
        generator.ComputePath();
    }

    // Samples the planned path cycle by cycle as the interpreter does, until it ends.
    std::vector<Sample> Run(int cycleMs = 10, double override = 100.0, double limit = -1.0, int maxCycles = 100000) {
        std::vector<Sample> samples;
        DataTypes::RobotState current = Pose(start.jointSetPoint);
        long from = 0;
        long to = 0;
        for (int k = 0; k < maxCycles; ++k) {
            Sample s{};
            int command = -1;
            long used = 0;
            const int result = generator.GetJointPosition(from, to, cycleMs, current, limit, s.joints, command, used);
            from += used;
            to = from + static_cast<long>(static_cast<double>(cycleMs) * override * 1000.0 / 100.0);
            current = Pose(s.joints);
            s.position = current.pose.GetTranslation();
            s.pose = current.pose;
            s.element = generator.CurrentElement();
            s.command = command;
            s.timeMs = static_cast<double>(from) / 1000.0;
            samples.push_back(s);
            if (result != -1) break;
        }
        return samples;
    }

    // The planned position at path time t (ms), taken from the elements before inverse kinematics.
    DataTypes::Vector3 PositionAt(double t) const {
        const auto& elements = generator.Elements();
        const auto& ends = generator.EndTimes();
        double from = 0.0;
        for (std::size_t k = 0; k < elements.size(); ++k) {
            if (elements[k]->IsTimeInRange(static_cast<float>(t - from))) {
                DataTypes::RobotState s;
                elements[k]->GetPosition(static_cast<float>(t - from), s);
                return s.pose.GetTranslation();
            }
            from = ends[k];
        }
        DataTypes::RobotState s;
        elements.back()->GetPosition(elements.back()->GetDuration(), s);
        return s.pose.GetTranslation();
    }

    std::unique_ptr<RobotKinematic> arm;
    std::unique_ptr<RobotKinematic> model;
    PathGenerator_02Linear generator;
    DataTypes::RobotState start;
};

// An interpreter planning with the Cartesian generator on the six-axis test robot.
class Robot : public IPOTest::Interpreter {
public:
    explicit Robot(float smoothDistCart = 100.0f, int lookAhead = 3) {
        ipo.replayMode = IPO::ReplaySingle;
        ipo.InitPathGen(1, smoothDistCart, 10.0f, lookAhead);
        ipo.InitJointMaxValues(JointVel, JointAcc, JointJerk, CartVel, CartAcc, CartJerk, OriVel, OriAcc, OriJerk);
        ipo.SetKinematic(MotionTest::Kinematic().release());
        const float joints[9] = {0, 17.8f, 10.7f, 0, 61.4f, 0, 0, 0, 0};
        for (int i = 0; i < 9; ++i) state.jointSetPoint[i] = joints[i];
    }
    PathGenerator& Generator() { return *ipo.GetPathGenerator(); }
};

}  // namespace CartesianTest
