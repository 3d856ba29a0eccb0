// The Cartesian path generator: the elements it builds, its queue rules, the
// planning failures, sampling with small steps, and programs that run with it.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <stdexcept>
#include <thread>

#include "PkgProgram/CartesianTestSupport.h"
#include "PkgProgram/CommandJoint.h"
#include "PkgProgram/PathElementLine.h"
#include "PkgProgram/PathElementSpline.h"
#include "common/LogSingleton.h"
#include "support/LogCapture.h"

using CartesianTest::Line;
using CartesianTest::Planner;
using DataTypes::Vector3;

namespace {

// Reaches the generator's planning mutex and abort request, as the planning thread does.
class OpenGenerator : public PathGenerator_02Linear {
public:
    using PathGenerator_02Linear::PathGenerator_02Linear;
    void RequestAbort() { abortRequest = true; }
    std::recursive_mutex& Mutex() { return planningMutex; }
};

bool WaitIdle(PathGenerator& g) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (g.IsPathGenWorking() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return !g.IsPathGenWorking();
}

Vector3 Abc(const Planner& p) { return Vector3(p.start.A, p.start.B, p.start.C); }

}  // namespace

TEST(CartesianPathGenerator, OneCommandIsOneElementAndEachFurtherOneAddsABlendAndAMainElement) {
    Planner p;
    const Vector3 s = p.start.pose.GetTranslation();
    p.Plan({Line(s + Vector3(100, 0, 0), Abc(p), 100, 100, 50)});
    ASSERT_EQ(p.generator.Elements().size(), 1u);
    const auto& only = static_cast<const Programs::PathElementLine&>(*p.generator.Elements()[0]);
    EXPECT_EQ(only.profiles[0].VelStart, 0.0f);
    EXPECT_EQ(only.profiles[0].VelEnd, 0.0f);
    EXPECT_NEAR(only.profiles[0].Length, 100.0f, 1e-3f);

    p.Plan({Line(s + Vector3(100, 0, 0), Abc(p), 100, 100, 20), Line(s + Vector3(100, 100, 0), Abc(p), 150, 100, 0)});
    const auto& e = p.generator.Elements();
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(e[1]->GetType(), "Spline");
    // The blend joins the two cut lines at the speeds they reach.
    EXPECT_FLOAT_EQ(e[1]->startVelocityFactor, e[0]->GetVel());
    EXPECT_FLOAT_EQ(e[1]->endVelocityFactor, e[2]->GetVel());
    EXPECT_NEAR(e[0]->GetVel(), 100.0f, 0.01f);
    EXPECT_NEAR(e[2]->GetVel(), 150.0f, 0.01f);
    // 20 % of 100 mm cut from each line at the corner.
    const auto& first = static_cast<const Programs::PathElementLine&>(*e[0]);
    EXPECT_LT((first.endState.pose.GetTranslation() - (s + Vector3(80, 0, 0))).Magnitude(), 1e-3f);
    EXPECT_EQ(p.generator.EndTimes().size(), 3u);
    EXPECT_FLOAT_EQ(p.generator.EndTimes()[2], e[0]->GetDuration() + e[1]->GetDuration() + e[2]->GetDuration());
}

TEST(CartesianPathGenerator, ACommandOfTheOtherKindBreaksTheChain) {
    Planner p;
    const Vector3 s = p.start.pose.GetTranslation();
    p.generator.SetFirstCmd(Line(s + Vector3(10, 0, 0), Abc(p), 100, 100, 50), &p.start, 0, 1);
    p.generator.SetNextCmd(std::make_shared<CommandJoint>(), 1, 2);
    p.generator.SetNextCmd(Line(s + Vector3(20, 0, 0), Abc(p), 100, 100, 50), 2, 3);
    EXPECT_EQ(p.generator.queuedCount, 1);
    p.generator.SetFirstCmd(Line(s + Vector3(10, 0, 0), Abc(p), 100, 100, 50), &p.start, 0, 1);
    p.generator.SetNextCmd(Line(s + Vector3(20, 0, 0), Abc(p), 100, 100, 50), 2, 3);
    EXPECT_EQ(p.generator.queuedCount, 2);
}

TEST(CartesianPathGenerator, SettingCommandsWhilePlanningHoldsTheGeneratorThrows) {
    Planner p;
    OpenGenerator g(100.0f, 10.0f, 3);
    std::unique_lock<std::recursive_mutex> held(g.Mutex());
    std::string first;
    std::string next;
    std::thread robot([&]() {
        try {
            g.SetFirstCmd(Line(Vector3(500, 0, 300), Abc(p), 100, 100, 0), &p.start, 0, 1);
        } catch (const std::logic_error& e) {
            first = e.what();
        }
        try {
            g.SetNextCmd(Line(Vector3(500, 0, 300), Abc(p), 100, 100, 0), 1, 2);
        } catch (const std::logic_error& e) {
            next = e.what();
        }
    });
    robot.join();
    EXPECT_EQ(first, "tried to define new path but the pathgen is still running");
    EXPECT_EQ(next, first);
}

TEST(CartesianPathGenerator, APlanningThatCannotCompleteLeavesNoPath) {
    TestSupport::LogCapture log;
    Planner p;
    const Vector3 s = p.start.pose.GetTranslation();
    // Aborted: the partial path is never published.
    OpenGenerator g(100.0f, 10.0f, 3);
    g.kinematic = p.arm.get();
    g.InitVelAcc(CartesianTest::JointVel, CartesianTest::JointAcc, CartesianTest::JointJerk, 250, 1000, 3000, 90,
                 1000, 3000);
    g.SetFirstCmd(Line(s + Vector3(50, 0, 0), Abc(p), 100, 100, 50), &p.start, 0, 1);
    g.SetNextCmd(Line(s + Vector3(50, 50, 0), Abc(p), 100, 100, 50), 1, 2);
    g.RequestAbort();
    g.ComputePath();
    EXPECT_FALSE(g.IsPathAvailable());
    EXPECT_THROW(
        {
            float joints[9];
            int command = 0;
            long used = 0;
            g.GetJointPosition(0, 10000, 10, p.start, -1.0, joints, command, used);
        },
        std::runtime_error);
    EXPECT_TRUE(log.HasError("PGLinear: Tried to get position but path is not available"));

    // More commands counted than the queue holds: the planning fails instead of waiting for ever.
    p.generator.SetFirstCmd(Line(s + Vector3(50, 0, 0), Abc(p), 100, 100, 50), &p.start, 0, 1);
    p.generator.queuedCount = 99;
    p.generator.ComputePathStartThread();
    ASSERT_TRUE(WaitIdle(p.generator));
    EXPECT_TRUE(p.generator.IsPathGenerationFailed());
    EXPECT_FALSE(p.generator.IsPathAvailable());
    EXPECT_NE(p.generator.GetGenerationError().find("nrOfSetPoints > setPoints.size(): 99 > 11"), std::string::npos);

    // A geometric failure of a command fails the planning with its text.
    p.generator.SetFirstCmd(CartesianTest::Arc(s + Vector3(10, 10, 10), s + Vector3(20, 20, 20), Abc(p), 100, 100, 0),
                            &p.start, 0, 1);
    p.generator.ComputePathStartThread();
    ASSERT_TRUE(WaitIdle(p.generator));
    EXPECT_TRUE(p.generator.IsPathGenerationFailed());
    EXPECT_EQ(p.generator.GetGenerationError(), "CommandCircular: Invalid definition of circle, points are in line");
}

TEST(CartesianPathGenerator, ALineOntoItsOwnStartArrivesAtOnceAndAPureTurnFails) {
    Planner p;
    const Vector3 s = p.start.pose.GetTranslation();
    p.Plan({Line(s, Abc(p), 100, 100, 0)});
    ASSERT_TRUE(p.generator.IsPathAvailable());
    const auto samples = p.Run();
    ASSERT_EQ(samples.size(), 1u);
    EXPECT_LT((samples[0].position - s).Magnitude(), 1e-3f);
    EXPECT_EQ(samples[0].command, 0);

    p.generator.SetFirstCmd(Line(s, Abc(p) + Vector3(0, 0, 20), 100, 100, 0), &p.start, 0, 1);
    p.generator.ComputePathStartThread();
    ASSERT_TRUE(WaitIdle(p.generator));
    EXPECT_EQ(p.generator.GetGenerationError(), "tried to normalize zero length vector");
}

// Steps under 1 ms (a 4 ms cycle at 20 %) still move along the path.
TEST(CartesianPathGenerator, StepsBelowOneMillisecondAdvance) {
    Planner p;
    const Vector3 s = p.start.pose.GetTranslation();
    p.Plan({Line(s + Vector3(20, 0, 0), Abc(p), 100, 100, 0)});
    const double duration = p.generator.EndTimes().back();
    const auto samples = p.Run(4, 20.0, -1.0, 20000);
    EXPECT_NEAR(static_cast<double>(samples.size()), duration / 0.8, 3.0);
    EXPECT_LT((samples.back().position - (s + Vector3(20, 0, 0))).Magnitude(), 0.001f);
}

// Without a blend distance the corner is a stop, not a turn at full speed.
TEST(CartesianPathGenerator, ACornerWithoutBlendDistanceStops) {
    Planner p(0.0f);
    const Vector3 s = p.start.pose.GetTranslation();
    p.Plan({Line(s + Vector3(60, 0, 0), Abc(p), 150, 100, 50), Line(s + Vector3(60, 60, 0), Abc(p), 150, 100, 0)});
    const double corner = p.generator.EndTimes()[1];
    const Vector3 before = (p.PositionAt(corner - 0.5) - p.PositionAt(corner - 1.5)) * 1000.0f;
    const Vector3 after = (p.PositionAt(corner + 1.5) - p.PositionAt(corner + 0.5)) * 1000.0f;
    EXPECT_LT(before.Magnitude(), 1.0f);
    EXPECT_LT(after.Magnitude(), 1.0f);
    EXPECT_LT((p.PositionAt(corner) - (s + Vector3(60, 0, 0))).Magnitude(), 1e-3f);
}

// The blend of a sharp corner keeps to the speeds of its two segments, and ends at the second's. The
// joints may accelerate as hard as the blend needs: with the arm's own limits it would be a stop.
TEST(CartesianPathGenerator, ABlendKeepsItsSpeedBetweenItsNeighboursAtASharpCorner) {
    Planner p;
    float hard[9];
    for (float& a : hard) a = 100000.0f;
    p.generator.InitVelAcc(CartesianTest::JointVel, hard, CartesianTest::JointJerk, CartesianTest::CartVel,
                           CartesianTest::CartAcc, CartesianTest::CartJerk, CartesianTest::OriVel, CartesianTest::OriAcc,
                           CartesianTest::OriJerk);
    const Vector3 s = p.start.pose.GetTranslation();
    p.Plan({Line(s + Vector3(20, 0, 0), Abc(p), 130, 100, 50), Line(s + Vector3(-60, 15, 5), Abc(p), 75, 100, 0)});
    const auto& e = p.generator.Elements();
    const double from = p.generator.EndTimes()[0];
    const double to = p.generator.EndTimes()[1];
    for (double t = from; t + 1.0 < to; t += 1.0) {
        const float v = (p.PositionAt(t + 1.0) - p.PositionAt(t)).Magnitude() * 1000.0f;
        EXPECT_LE(v, 130.0f * 1.03f) << "at " << t - from << " ms of the blend";
    }
    const float end = (p.PositionAt(to) - p.PositionAt(to - 1.0)).Magnitude() * 1000.0f;
    EXPECT_NEAR(end, e[2]->GetVel(), 0.05f * e[2]->GetVel());
}

TEST(CartesianPathGenerator, ATimeStepOfZeroIsNeverShortenedAndTimesPastTheEndGiveTheSuccessor) {
    Planner p;
    const Vector3 s = p.start.pose.GetTranslation();
    p.Plan({Line(s + Vector3(50, 0, 0), Abc(p), 100, 100, 0)});
    float joints[9];
    int command = -1;
    long used = -1;
    DataTypes::RobotState far = p.start;
    far.pose.SetTranslation(0, 0, 0);  // far away: any step would look too fast
    EXPECT_EQ(p.generator.GetJointPosition(0, 0, 10, far, 1.0, joints, command, used), -1);
    EXPECT_EQ(used, 0);
    EXPECT_EQ(command, 0);
    EXPECT_EQ(p.generator.GetJointPosition(0, 100000000, 10, p.start, -1.0, joints, command, used), 1);
    EXPECT_LT((p.Pose(joints).pose.GetTranslation() - (s + Vector3(50, 0, 0))).Magnitude(), 0.001f);
}

// ---------------------------------------------------------------- programs

namespace {

const char* const Program =
    "<Linear Nr=\"1\" x=\"480\" y=\"0\" z=\"300\" a=\"180\" b=\"0\" c=\"180\" vel=\"200\" acc=\"100\" smooth=\"0\" "
    "AbortCondition=\"false\"/>\n"
    "<Linear Nr=\"2\" x=\"540\" y=\"40\" z=\"300\" a=\"180\" b=\"0\" c=\"180\" vel=\"200\" acc=\"100\" smooth=\"40\" "
    "AbortCondition=\"false\"/>\n"
    "<Circular Nr=\"3\" AbortCondition=\"false\" vel=\"150\" acc=\"80\" smooth=\"30\" useAngle=\"false\" angle=\"0\" "
    "Source=\"numbers\" p1x=\"570\" p1y=\"10\" p1z=\"300\" p2x=\"540\" p2y=\"-20\" p2z=\"300\" a=\"180\" b=\"0\" "
    "c=\"180\" e1=\"0\" e2=\"0\" e3=\"0\" VariableHelperName=\"\" VariableEndName=\"\"/>\n"
    "<Linear Nr=\"4\" x=\"460\" y=\"-40\" z=\"320\" a=\"180\" b=\"0\" c=\"180\" vel=\"200\" acc=\"100\" smooth=\"0\" "
    "AbortCondition=\"false\"/>\n"
    "<Circular Nr=\"5\" AbortCondition=\"false\" vel=\"200\" acc=\"100\" smooth=\"0\" useAngle=\"true\" angle=\"-120\" "
    "Source=\"numbers\" p1x=\"470\" p1y=\"-20\" p1z=\"330\" p2x=\"480\" p2y=\"0\" p2z=\"300\" a=\"180\" b=\"0\" "
    "c=\"180\" e1=\"0\" e2=\"0\" e3=\"0\" VariableHelperName=\"\" VariableEndName=\"\"/>\n";

// One robot cycle; gives the planning thread the time a real cycle would.
void Cycle(CartesianTest::Robot& robot) {
    robot.ipo.GetNextPosition(10, 100.0f, &robot.state);
    if (robot.Generator().IsPathGenWorking()) std::this_thread::sleep_for(std::chrono::microseconds(200));
}

}  // namespace

TEST(CartesianProgram, TheInterpreterPlansWithTheCartesianGeneratorAndRunsToTheLastTarget) {
    TestSupport::ScratchRoot root;
    TestSupport::LogCapture log;
    CartesianTest::Robot robot;
    ASSERT_NE(dynamic_cast<PathGenerator_02Linear*>(&robot.Generator()), nullptr);
    EXPECT_FALSE(log.HasStartingWith("IPO: Cartesian path generator not available"));
    IPOTest::WriteProgram(root, "blend.xml", Program);
    ASSERT_TRUE(robot.Load("blend.xml"));
    robot.ipo.Start();
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (robot.ipo.IsReplayRunning() && std::chrono::steady_clock::now() < end) Cycle(robot);
    ASSERT_FALSE(robot.ipo.IsReplayRunning());
    EXPECT_FALSE(log.HasStartingWith("PathGen Error"));
    auto model = MotionTest::Kinematic();
    model->SetJoints(robot.state.jointSetPoint, false);
    DataTypes::RobotState last;
    model->GetPosition(&last);
    // The last arc turns -120 degrees from (460, -40, 320) on the circle through its two points.
    const CircleParameters circle(Vector3(460, -40, 320), Vector3(470, -20, 330), Vector3(480, 0, 300), -120.0);
    EXPECT_LT((last.pose.GetTranslation() - circle.CalculatePosition(circle.angle)).Magnitude(), 0.001f);
}

// A repeated program plans one path after the other; the planning thread always lets go first.
TEST(CartesianProgram, ARepeatedProgramRunsTwoHundredPathsBackToBack) {
    TestSupport::ScratchRoot root;
    TestSupport::LogCapture log;
    CartesianTest::Robot robot;
    IPOTest::WriteProgram(root, "repeat.xml", Program);
    ASSERT_TRUE(robot.Load("repeat.xml"));
    robot.ipo.replayMode = IPO::ReplayRepeat;
    robot.ipo.Start();
    int paths = 0;
    bool wasAvailable = false;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(240);
    while (paths < 200 && robot.ipo.IsReplayRunning() && std::chrono::steady_clock::now() < end) {
        Cycle(robot);
        const bool available = robot.Generator().IsPathAvailable();
        if (available && !wasAvailable) ++paths;
        wasAvailable = available;
    }
    EXPECT_GE(paths, 200);
    EXPECT_TRUE(robot.ipo.IsReplayRunning());
    EXPECT_EQ(log.CountContaining("tried to define new path but the pathgen is still running"), 0);
    EXPECT_FALSE(log.HasStartingWith("PathGen Error"));
    robot.ipo.Stop(IPO::USER);
    EXPECT_TRUE(WaitIdle(robot.Generator()));
}
