// Motion as a drive sees it: the joint set-points of every 10 ms cycle under
// both path generators, on an arm whose joints have velocity and acceleration
// limits of their own. Corners stay near their taught points, invalid targets
// are refused before any motion, blends and Cartesian paths keep every joint
// inside its limits.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "PkgProgram/CartesianTestSupport.h"
#include "PkgProgram/MotionTestSupport.h"
#include "PkgProgram/PathGenerator_02Linear.h"
#include "datatypes/RobotState.h"
#include "datatypes/Vector3.h"
#include "support/LogCapture.h"

namespace {

using DataTypes::Vector3;
using MotionTest::Acc;
using MotionTest::Jerk;
using MotionTest::Joints;
using MotionTest::Vel;

constexpr double Dt = MotionTest::CycleMs / 1000.0;

// The kinematic model of the sample's robot.
std::unique_ptr<RobotKinematic> SampleKinematic() {
    return MotionTest::KinematicOfFile(std::string(KORVELLA_SAMPLES_DIR) +
                                       "/six-axis/Data/Robots/KorvellaSix/KorvellaSix.xml");
}

const char* GeneratorName(int type) { return type == 1 ? "02Linear" : "01"; }

// The interpreter of the program tests with its generator of the given type and the limits above.
struct Arm : MotionTest::Robot {
    explicit Arm(int generator, IPO::IpoType type = IPO::IpoTypeMain) : MotionTest::Robot(false, 3, type) {
        ipo.InitPathGen(generator, 100.0f, 10.0f, 3);
        ipo.InitJointMaxValues(Vel, Acc, Jerk, 250.0f, 1000.0f, 3000.0f, 90.0, 1000.0, 3000.0);
        ipo.SetKinematic(MotionTest::Kinematic().release());
        const float start[9] = {0, 17.8f, 10.7f, 0, 61.4f, 0, 0, 0, 0};
        for (int i = 0; i < 9; ++i) state.jointSetPoint[i] = start[i];
    }
};

// Velocities and accelerations of a set-point trace, by cycle and over 50 ms windows.
struct Profile {
    float velocity[6] = {};     // peak |v| per joint
    float velocityRatio = 0.0f; // peak |v| / limit over the joints
    int velocityJoint = -1;
    float cycleAcc[6] = {};     // peak |dv| / dt between cycles
    float windowAcc[6] = {};    // peak |v(k+5) - v(k)| / 50 ms
    float windowRatio = 0.0f;   // peak window acceleration / limit over the joints
    int windowJoint = -1;
};

Profile Measure(const std::vector<Joints>& t, const float* acc = Acc, const float* vel = Vel) {
    const MotionTest::JointRates rates = MotionTest::MeasureJointRates(t);
    Profile p;
    for (int i = 0; i < 6; ++i) {
        p.velocity[i] = rates.velocity[i];
        p.cycleAcc[i] = rates.cycleAcc[i];
        p.windowAcc[i] = rates.windowAcc[i];
        if (p.velocity[i] / vel[i] > p.velocityRatio) {
            p.velocityRatio = p.velocity[i] / vel[i];
            p.velocityJoint = i;
        }
        if (p.windowAcc[i] / acc[i] > p.windowRatio) {
            p.windowRatio = p.windowAcc[i] / acc[i];
            p.windowJoint = i;
        }
    }
    return p;
}

std::string Describe(const Profile& p) {
    char text[512];
    std::snprintf(text, sizeof(text),
                  "peak velocity %.2f x limit (joint %d, %.1f deg/s); peak 50 ms acceleration %.2f x limit (joint %d, "
                  "%.0f deg/s^2); per cycle j1..j6 %.0f %.0f %.0f %.0f %.0f %.0f",
                  p.velocityRatio, p.velocityJoint + 1, p.velocityJoint >= 0 ? p.velocity[p.velocityJoint] : 0.0f,
                  p.windowRatio, p.windowJoint + 1, p.windowJoint >= 0 ? p.windowAcc[p.windowJoint] : 0.0f,
                  p.cycleAcc[0], p.cycleAcc[1], p.cycleAcc[2], p.cycleAcc[3], p.cycleAcc[4], p.cycleAcc[5]);
    return text;
}

// The trace with the start joints in front: the first set-point is measured against where the arm stood.
std::vector<Joints> FromStart(const Joints& start, const std::vector<Joints>& trace) {
    std::vector<Joints> t{start};
    t.insert(t.end(), trace.begin(), trace.end());
    return t;
}

// Largest distance of any robot joint from the start over the trace.
float Excursion(const Joints& start, const std::vector<Joints>& trace) {
    float most = 0.0f;
    for (const Joints& j : trace)
        for (std::size_t i = 0; i < 6; ++i) most = std::max(most, std::fabs(j[i] - start[i]));
    return most;
}

std::string PoseLine(int nr, const Vector3& p, const Vector3& abc, float vel, float acc, float smooth) {
    char text[512];
    std::snprintf(text, sizeof(text),
                  "<Linear Nr=\"%d\" x=\"%g\" y=\"%g\" z=\"%g\" a=\"%g\" b=\"%g\" c=\"%g\" vel=\"%g\" acc=\"%g\" "
                  "smooth=\"%g\" AbortCondition=\"false\"/>\n",
                  nr, p.x, p.y, p.z, abc.x, abc.y, abc.z, vel, acc, smooth);
    return text;
}

// A line with the tool pointing down.
std::string LinearLine(int nr, const Vector3& p, float vel, float acc, float smooth) {
    return PoseLine(nr, p, Vector3(180, 0, 180), vel, acc, smooth);
}

std::string JointLine(int nr, const float* a, float velPercent, float acc, float smooth) {
    char text[512];
    std::snprintf(text, sizeof(text),
                  "<Joint Nr=\"%d\" a1=\"%g\" a2=\"%g\" a3=\"%g\" a4=\"%g\" a5=\"%g\" a6=\"%g\" velPercent=\"%g\" "
                  "acc=\"%g\" smooth=\"%g\" AbortCondition=\"false\"/>\n",
                  nr, a[0], a[1], a[2], a[3], a[4], a[5], velPercent, acc, smooth);
    return text;
}

class MotionLimits : public ::testing::Test {
protected:
    // Loads and runs the program to its end; the set-points of every cycle with the start in front.
    std::vector<Joints> Run(Arm& arm, const std::string& body) {
        IPOTest::WriteProgram(root, "limits.xml", body);
        const Joints start = arm.Current();
        EXPECT_TRUE(arm.LoadAndStart("limits.xml"));
        EXPECT_TRUE(arm.RunToStop());
        return FromStart(start, arm.trace);
    }

    TestSupport::ScratchRoot root;
    TestSupport::LogCapture log;
};

// ---------------------------------------------------------------- corners

// Three chained lines smoothed by 50 %: each rounded corner passes near its taught point, under
// either generator; the joint generator's corner window no longer spans the neighbouring commands.
TEST_F(MotionLimits, SmoothedCornersOfChainedLinesPassNearTheirTaughtPoints) {
    const Vector3 corners[2] = {Vector3(600, 150, 400), Vector3(500, 150, 300)};
    for (int generator : {0, 1}) {
        SCOPED_TRACE(GeneratorName(generator));
        Arm arm(generator);
        const std::vector<Joints> t =
            Run(arm, LinearLine(1, Vector3(550, 0, 450), 150, 100, 0) + LinearLine(2, corners[0], 150, 100, 50) +
                         LinearLine(3, corners[1], 150, 100, 50) + LinearLine(4, Vector3(450, -50, 350), 150, 100, 0));
        EXPECT_FALSE(log.HasStartingWith("PathGen Error"));
        auto model = MotionTest::Kinematic();
        for (const Vector3& corner : corners) {
            float nearest = 1e9f;
            for (const Joints& j : t)
                nearest = std::min(nearest, (CartesianTest::PoseOf(*model, j.data()).pose.GetTranslation() - corner).Magnitude());
            std::cout << "[ figures  ] " << GeneratorName(generator) << " corner (" << corner.x << ", " << corner.y
                      << ", " << corner.z << "): nearest " << nearest << " mm" << std::endl;
            EXPECT_LT(nearest, 40.0f) << "corner " << corner.x << " " << corner.y << " " << corner.z;
        }
        // The last target is still reached.
        const DataTypes::RobotState end = CartesianTest::PoseOf(*model, t.back().data());
        EXPECT_LT((end.pose.GetTranslation() - Vector3(450, -50, 350)).Magnitude(), 0.05f);
    }
}

// ---------------------------------------------------------------- refusals

// A target beyond a joint limit or out of reach is refused with its kinematic error before the arm
// moves at all, under either generator, from a program and from a direct move.
TEST_F(MotionLimits, AnInvalidTargetIsRefusedBeforeAnyMotion) {
    struct Case {
        const char* name;
        bool cartesian;
        float values[9];
        const char* error;
    };
    const Case cases[] = {
        {"Move Joint 200", false, {200, 0, 0, 0, 0, 0, 0, 0, 0}, "PathGen Error in command 0: Joint Max"},
        {"Move Joint a3 -160", false, {10, 20, -160, 0, 40, 0, 0, 0, 0}, "PathGen Error in command 0: Joint Min"},
        {"Move Cart 2000 0 0", true, {2000, 0, 0, 180, 0, 180, 0, 0, 0}, "PathGen Error in command 0: Out of Reach"},
        {"Move Cart 1e30 0 0", true, {1e30f, 0, 0, 180, 0, 180, 0, 0, 0}, "PathGen Error in command 0: Out of Reach"},
    };
    for (int generator : {0, 1}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + " with " + GeneratorName(generator));
            log.Clear();
            Arm arm(generator, IPO::IpoTypeDirect);
            const Joints start = arm.Current();
            if (c.cartesian) {
                arm.ipo.MoveLinear(Vector3(c.values[0], c.values[1], c.values[2]),
                                   Vector3(c.values[3], c.values[4], c.values[5]), Vector3(), 100.0f);
            } else {
                arm.ipo.MoveJoint(c.values, 100.0f);
            }
            arm.ipo.Start();
            ASSERT_TRUE(arm.RunToStop(std::chrono::seconds(20)));
            const std::vector<std::string> errors = log.StartingWith("PathGen Error");
            ASSERT_FALSE(errors.empty());
            EXPECT_EQ(errors.front(), c.error);
            EXPECT_FALSE(log.Has("IPO: MoveTo done"));
            const float moved = Excursion(start, arm.trace);
            std::cout << "[ figures  ] " << GeneratorName(generator) << " " << c.name << ": moved " << moved
                      << " deg, " << arm.trace.size() << " cycles, " << Describe(Measure(FromStart(start, arm.trace)))
                      << std::endl;
            EXPECT_LT(moved, 0.001f);
        }
    }
}

// A line between two reachable poses that passes the wrist singularity: the arm brakes within the
// joints' acceleration limits and stands before the failing point, then the error is reported.
TEST_F(MotionLimits, ALineThroughTheWristSingularityStopsWithinTheDecelerationLimits) {
    auto model = MotionTest::Kinematic();
    const float from[9] = {20, 40, 40, 30, 20, 0, 0, 0, 0};
    const float to[9] = {-20, 40, 40, -30, -20, 0, 0, 0, 0};
    const DataTypes::RobotState b = CartesianTest::PoseOf(*model, to);
    for (int generator : {0, 1}) {
        SCOPED_TRACE(GeneratorName(generator));
        log.Clear();
        Arm arm(generator, IPO::IpoTypeDirect);
        for (int i = 0; i < 9; ++i) arm.state.jointSetPoint[i] = from[i];
        const Joints start = arm.Current();
        arm.ipo.MoveLinear(b.pose.GetTranslation(), Vector3(b.A, b.B, b.C), Vector3(), 250.0f);
        arm.ipo.Start();
        ASSERT_TRUE(arm.RunToStop(std::chrono::seconds(20)));
        const std::vector<std::string> errors = log.StartingWith("PathGen Error");
        const Profile p = Measure(FromStart(start, arm.trace));
        std::cout << "[ figures  ] " << GeneratorName(generator) << " line through the wrist singularity: "
                  << (errors.empty() ? std::string("no error") : errors.front()) << ", " << Describe(p) << std::endl;
        ASSERT_FALSE(errors.empty());
        EXPECT_EQ(errors.front(), "PathGen Error in command 0: Hand Singularity");
        EXPECT_GT(Excursion(start, arm.trace), 1.0f);  // it moved on its way there
        // The joint generator limits the acceleration of the first three joints only, by design, on
        // samples a slicing period apart (so it is measured over 50 ms windows only).
        const int limited = generator == 1 ? 6 : 3;
        for (int i = 0; i < limited; ++i) {
            EXPECT_LE(p.windowAcc[i], Acc[i]) << "joint " << i + 1 << ": " << Describe(p);
            if (generator == 1) {
                EXPECT_LE(p.cycleAcc[i], 1.3f * Acc[i]) << "joint " << i + 1 << ": " << Describe(p);
            }
        }
    }
}

// On the sample's robot, a fast line straight through the base axis: the arm brakes to a stand before
// the point where the path fails, and its last set-points before the stand still keep the joints'
// acceleration limits, from one cycle to the next.
TEST_F(MotionLimits, ALineThroughTheBaseAxisBrakesToAStandWithinTheAccelerationLimits) {
    const std::string program = LinearLine(1, Vector3(300, 200, 400), 100, 100, 0) +
                                LinearLine(2, Vector3(-300, -200, 400), 250, 100, 0);
    for (int generator : {0, 1}) {
        SCOPED_TRACE(GeneratorName(generator));
        log.Clear();
        Arm arm(generator);
        arm.ipo.SetKinematic(SampleKinematic().release());
        const float home[9] = {0, 0, 90, 0, 90, 0, 0, 0, 0};
        for (int i = 0; i < 9; ++i) arm.state.jointSetPoint[i] = home[i];
        const Joints start = arm.Current();
        const std::vector<Joints> t = Run(arm, program);
        const std::vector<std::string> errors = log.StartingWith("PathGen Error");
        // The last cycles: the speed of joint 2 down to the stand.
        std::string last;
        for (std::size_t k = t.size() > 6 ? t.size() - 6 : 1; k < t.size(); ++k)
            last += " " + std::to_string(static_cast<int>(std::lround((t[k][1] - t[k - 1][1]) / Dt)));
        const Profile p = Measure(t);
        std::cout << "[ figures  ] " << GeneratorName(generator) << " line through the base axis: "
                  << (errors.empty() ? std::string("no error") : errors.front()) << ", joint 2 deg/s at the end"
                  << last << "; " << Describe(p) << std::endl;
        ASSERT_FALSE(errors.empty());
        EXPECT_EQ(errors.front(), "PathGen Error in command 1: Center Sing.");
        EXPECT_GT(Excursion(start, t), 1.0f);
        // The joint generator limits the acceleration of the first three joints only, by design, on
        // samples a slicing period apart (so it is measured over 50 ms windows only, where it runs
        // at the limit to float rounding).
        const int limited = generator == 1 ? 6 : 3;
        for (int i = 0; i < limited; ++i) {
            EXPECT_LE(p.windowAcc[i], 1.001f * Acc[i]) << "joint " << i + 1 << ": " << Describe(p);
            if (generator == 1) {
                EXPECT_LE(p.cycleAcc[i], Acc[i]) << "joint " << i + 1 << ": " << Describe(p);
            }
        }
    }
}

// The same line under the Cartesian generator: the braking before the failing point begins and ends
// within the jerk limit too, rather than with a step in acceleration. Measured from one cycle to the
// next over the whole run, which elsewhere keeps the limit as well.
TEST_F(MotionLimits, TheBrakingBeforeAFailingPointBeginsWithinTheJerkLimit) {
    const std::string program = LinearLine(1, Vector3(300, 200, 400), 100, 100, 0) +
                                LinearLine(2, Vector3(-300, -200, 400), 250, 100, 0);
    Arm arm(1);
    arm.ipo.SetKinematic(SampleKinematic().release());
    const float home[9] = {0, 0, 90, 0, 90, 0, 0, 0, 0};
    for (int i = 0; i < 9; ++i) arm.state.jointSetPoint[i] = home[i];
    const std::vector<Joints> t = Run(arm, program);
    ASSERT_TRUE(log.HasStartingWith("PathGen Error in command 1: Center Sing."));
    // Per cycle over the whole run: acceleration and its change from one cycle to the next.
    float jerk[6] = {};
    float acceleration[6] = {};
    for (std::size_t k = 0; k + 2 < t.size(); ++k) {
        for (std::size_t i = 0; i < 6; ++i) {
            const double v0 = (t[k + 1][i] - t[k][i]) / Dt;
            const double v1 = (t[k + 2][i] - t[k + 1][i]) / Dt;
            const double a0 = (v1 - v0) / Dt;
            acceleration[i] = std::max(acceleration[i], static_cast<float>(std::fabs(a0)));
            if (k + 3 >= t.size()) continue;
            const double v2 = (t[k + 3][i] - t[k + 2][i]) / Dt;
            const double a1 = (v2 - v1) / Dt;
            jerk[i] = std::max(jerk[i], static_cast<float>(std::fabs(a1 - a0) / Dt));
        }
    }
    std::cout << "[ figures  ] line through the base axis, " << t.size() << " cycles: per cycle acceleration j1..j6";
    for (float a : acceleration) std::cout << " " << std::lround(a);
    std::cout << " deg/s^2, jerk";
    for (float j : jerk) std::cout << " " << std::lround(j);
    std::cout << " deg/s^3" << std::endl;
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_LE(acceleration[i], Acc[i]) << "joint " << i + 1;
        EXPECT_LE(jerk[i], 1.25f * Jerk[i]) << "joint " << i + 1;
    }
}

// A program whose second target lies beyond a joint limit does not start the chain towards it.
TEST_F(MotionLimits, AProgramTargetBeyondAJointLimitStopsTheProgramBeforeTheArmMoves) {
    const float a[6] = {30, 20, 10, 0, 40, 0};
    const float beyond[6] = {30, 20, 10, 0, 130, 0};  // joint 5 limit 120
    for (int generator : {0, 1}) {
        SCOPED_TRACE(GeneratorName(generator));
        log.Clear();
        Arm arm(generator);
        const Joints start = arm.Current();
        const std::vector<Joints> t = Run(arm, JointLine(1, a, 50, 100, 50) + JointLine(2, beyond, 50, 100, 0));
        EXPECT_TRUE(log.HasStartingWith("PathGen Error in command 1: Joint Max"));
        EXPECT_TRUE(log.Has("PathGen: target of command 1 refused: Joint Max"));
        EXPECT_LT(Excursion(start, t), 0.001f);
    }
}

// On the sample's robot, a line that turns joint 6 by more than half a turn, followed by one more line:
// the wrist ends on the turn the path really takes it to, so the program runs to its end under either
// generator. From a start a full turn further on, the same line would drive joint 6 past its limit:
// that target is still refused before the arm moves.
TEST_F(MotionLimits, ALineThatTurnsTheWristBeyondHalfATurnIsCheckedWhereThePathTakesIt) {
    struct Case {
        const char* name;
        float joint6;       // at the start
        const char* error;  // empty: runs to its end
    };
    const Case cases[] = {
        {"joint 6 from 100", 100, ""},
        {"joint 6 from -260", -260, "PathGen Error in command 0: Joint Min"},
    };
    const std::string program = PoseLine(1, Vector3(230.4f, -399, 508.1f), Vector3(-120, 0, -180), 100, 100, 20) +
                                PoseLine(2, Vector3(250.4f, -399, 508.1f), Vector3(90, 0, 180), 100, 100, 0);
    for (int generator : {0, 1}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + " with " + GeneratorName(generator));
            log.Clear();
            Arm arm(generator);
            arm.ipo.SetKinematic(SampleKinematic().release());
            const float start[9] = {60, 10, 80, 0, 90, c.joint6, 0, 0, 0};
            for (int i = 0; i < 9; ++i) arm.state.jointSetPoint[i] = start[i];
            const Joints from = arm.Current();
            const std::vector<Joints> t = Run(arm, program);
            float low = 1e9f;
            float high = -1e9f;
            for (const Joints& j : t) {
                low = std::min(low, j[5]);
                high = std::max(high, j[5]);
            }
            const Profile p = Measure(t);
            std::cout << "[ figures  ] " << GeneratorName(generator) << " " << c.name << ": " << t.size()
                      << " cycles, joint 6 from " << low << " to " << high << ", " << Describe(p) << std::endl;
            const std::vector<std::string> errors = log.StartingWith("PathGen Error");
            if (*c.error == '\0') {
                EXPECT_TRUE(errors.empty()) << errors.front();
                EXPECT_TRUE(log.Has("IPO: Program done"));
                auto model = SampleKinematic();
                EXPECT_LT((CartesianTest::PoseOf(*model, t.back().data()).pose.GetTranslation() -
                           Vector3(250.4f, -399, 508.1f))
                              .Magnitude(),
                          0.05f);
                EXPECT_GE(low, -350.0f);
                EXPECT_LE(high, 350.0f);
                EXPECT_LE(p.velocityRatio, 1.01f) << Describe(p);
                // The joint generator limits the acceleration of the first three joints only, by design.
                if (generator == 1) {
                    EXPECT_LE(p.windowRatio, 1.0f) << Describe(p);
                    for (int i = 0; i < 6; ++i)
                        EXPECT_LE(p.cycleAcc[i], 1.3f * Acc[i]) << "joint " << i + 1 << ": " << Describe(p);
                }
            } else {
                ASSERT_FALSE(errors.empty());
                EXPECT_EQ(errors.front(), c.error);
                EXPECT_LT(Excursion(from, t), 0.001f);
            }
        }
    }
}

// A program whose third target is out of reach: the error the client is sent names that command,
// not the one the path would have started from.
TEST_F(MotionLimits, TheErrorOfARefusedTargetNamesItsCommand) {
    const std::string program = LinearLine(1, Vector3(550, 0, 450), 150, 100, 20) +
                                LinearLine(2, Vector3(600, 150, 400), 150, 100, 20) +
                                LinearLine(3, Vector3(2000, 0, 400), 150, 100, 0);
    for (int generator : {0, 1}) {
        SCOPED_TRACE(GeneratorName(generator));
        log.Clear();
        Arm arm(generator);
        const Joints start = arm.Current();
        IPOTest::Events::Take();
        const std::vector<Joints> t = Run(arm, program);
        EXPECT_TRUE(log.Has("PathGen: target of command 2 refused: Out of Reach"));
        std::vector<IPOTest::Event> errors;
        for (const IPOTest::Event& e : IPOTest::Events::Take())
            if (e.type == HXPEventError) errors.push_back(e);
        // Sent when the step fails and again when the program stops: each names the refused command.
        ASSERT_FALSE(errors.empty());
        for (const IPOTest::Event& e : errors)
            EXPECT_EQ(e, (IPOTest::Event{HXPEventError, 2, 0, "PathGen Error in command 2: Out of Reach"}))
                << e.command << " " << e.text;
        EXPECT_LT(Excursion(start, t), 0.001f);
    }
}

// ---------------------------------------------------------------- joint blends

// Two joint moves blended by 50 % at 80 %: every joint keeps its velocity (80 % of its own limit)
// and acceleration limits through the blend, also where joint 1 reverses and where the joint that
// leads one move is not the one that leads the other.
TEST_F(MotionLimits, AJointBlendKeepsEveryJointInsideItsLimits) {
    const float a[6] = {60, 30, 40, 50, 40, 70};
    const float b[6] = {-40, 20, 60, -40, 70, -60};
    for (int generator : {0, 1}) {
        SCOPED_TRACE(GeneratorName(generator));
        log.Clear();
        Arm arm(generator);
        const std::vector<Joints> t = Run(arm, JointLine(1, a, 80, 100, 50) + JointLine(2, b, 80, 100, 0));
        EXPECT_FALSE(log.HasStartingWith("PathGen Error"));
        for (int i = 0; i < 6; ++i) EXPECT_NEAR(arm.state.jointSetPoint[i], b[i], 0.001f);
        float commanded[9];
        for (int i = 0; i < 9; ++i) commanded[i] = 0.8f * Vel[i];
        const Profile p = Measure(t, Acc, commanded);
        std::cout << "[ figures  ] " << GeneratorName(generator) << " joint blend: " << Describe(p) << std::endl;
        EXPECT_LE(p.velocityRatio, 1.01f) << Describe(p);
        // The joint generator limits the acceleration of the first three joints only, by design.
        // From one cycle to the next the speed may change by a little more: the profiles' jerk
        // phases and the blend's 5 ms time table.
        if (generator == 1) {
            EXPECT_LE(p.windowRatio, 1.0f) << Describe(p);
            for (int i = 0; i < 6; ++i)
                EXPECT_LE(p.cycleAcc[i], 1.3f * Acc[i]) << "joint " << i + 1 << ": " << Describe(p);
        }
    }
}

// Blended joint moves against the same program with every smooth 0, where each corner is an exact
// stop: no blend costs more time than that stop, and every joint keeps its velocity and acceleration
// limits. Where joints reverse at a corner, the blend cannot be passed at a fair speed and the corner
// is a stop, logged once; where they go on in the same direction, the blend is kept and saves time.
TEST_F(MotionLimits, AJointBlendNeverTakesLongerThanAStopAtItsCorner) {
    const float a[6] = {60, 20, 30, 0, 60, 100};
    const float b[6] = {-60, 25, 35, 0, 55, -100};
    const float c[6] = {60, 30, 40, 0, 50, 100};
    const float d[6] = {-60, 20, 30, 0, 60, -100};
    const float across[6] = {-30, 15, 35, 10, 45, -40};
    const float back[6] = {20, 10, 40, -10, 50, 60};
    const float home[6] = {0, 17.8f, 10.7f, 0, 61.4f, 0};
    const float on1[6] = {30, 25, 20, 10, 50, 20};
    const float on2[6] = {70, 35, 30, 20, 40, 50};
    const float on3[6] = {110, 40, 45, 30, 30, 80};
    struct Case {
        const char* name;
        std::function<std::string(float)> program;  // with the smooth of the blended moves
        float smooth;
        const float* end;
        bool reverses;  // the joints turn back at the blended corners
    };
    const auto reversing = [&](float smooth) {
        return JointLine(1, a, 100, 100, smooth) + JointLine(2, b, 100, 100, smooth) +
               JointLine(3, c, 100, 100, smooth) + JointLine(4, d, 100, 100, 0);
    };
    const auto pickAndPlace = [&](float smooth) {
        return LinearLine(1, Vector3(500, 150, 350), 150, 80, 0) + LinearLine(2, Vector3(500, 150, 300), 100, 80, 0) +
               LinearLine(3, Vector3(500, 150, 350), 150, 80, 0) + JointLine(4, across, 90, 80, smooth) +
               JointLine(5, back, 90, 80, smooth) + JointLine(6, home, 90, 80, 0);
    };
    const auto onwards = [&](float smooth) {
        return JointLine(1, on1, 80, 100, smooth) + JointLine(2, on2, 80, 100, smooth) + JointLine(3, on3, 80, 100, 0);
    };
    const Case cases[] = {
        {"joints 1 and 6 reverse, smooth 10", reversing, 10, d, true},
        {"joints 1 and 6 reverse, smooth 50", reversing, 50, d, true},
        {"joints 1 and 6 reverse, smooth 100", reversing, 100, d, true},
        {"pick and place, smooth 50", pickAndPlace, 50, home, true},
        {"joints go on, smooth 50", onwards, 50, on3, false},
    };
    for (int generator : {0, 1}) {
        for (const Case& k : cases) {
            SCOPED_TRACE(std::string(k.name) + " with " + GeneratorName(generator));
            log.Clear();
            Arm stops(generator);
            const std::size_t stopCycles = Run(stops, k.program(0)).size();
            EXPECT_FALSE(log.HasStartingWith("PGLinear: joint limits"));
            Arm blended(generator);
            const std::vector<Joints> t = Run(blended, k.program(k.smooth));
            EXPECT_FALSE(log.HasStartingWith("PathGen Error"));
            for (int i = 0; i < 6; ++i) EXPECT_NEAR(blended.state.jointSetPoint[i], k.end[i], 0.001f);
            const Profile p = Measure(t);
            std::cout << "[ figures  ] " << GeneratorName(generator) << " " << k.name << ": " << t.size()
                      << " cycles, with smooth 0 " << stopCycles << "; " << Describe(p) << std::endl;
            // Both runs count the same cycles: those with a set-point from a path, the start in front.
            EXPECT_LE(t.size(), stopCycles);
            if (!k.reverses) {
                EXPECT_LT(t.size(), stopCycles);
            }
            EXPECT_LE(p.velocityRatio, 1.01f) << Describe(p);
            if (generator == 1) {
                EXPECT_LE(p.windowRatio, 1.0f) << Describe(p);
                for (int i = 0; i < 6; ++i)
                    EXPECT_LE(p.cycleAcc[i], 1.3f * Acc[i]) << "joint " << i + 1 << ": " << Describe(p);
                const std::vector<std::string> lines = log.StartingWith("PGLinear: joint limits");
                for (const std::string& line : lines) EXPECT_EQ(log.Count(line), 1) << line;
                if (k.reverses) {
                    const int first = k.program(0).rfind("<Linear", 0) == 0 ? 3 : 0;
                    EXPECT_EQ(log.Count("PGLinear: joint limits turn the blend after command " + std::to_string(first) +
                                        " into a stop at its corner"),
                              1);
                }
            }
        }
    }
}

// Long chains of joint moves whose joints reverse at every corner, smooth 50, all planned at once
// (look-ahead as long as the chain). Every corner is decided from the elements beside it, so the
// planner builds the whole path a few times at most and its work grows with the chain, not with its
// square. The wall-clock time to the first motion is a figure only (bench_program_cycles measures
// it); the bound is on the work, which a loaded machine does not change.
TEST_F(MotionLimits, PlanningALongJointChainGrowsLinearlyWithTheChain) {
    const float a[6] = {60, 20, 30, 0, 60, 100};
    const float b[6] = {-60, 25, 35, 0, 55, -100};
    const auto chain = [&](int count, float smooth) {
        std::string body;
        for (int i = 0; i < count; ++i) body += JointLine(i + 1, i % 2 == 0 ? a : b, 100, 100, i + 1 < count ? smooth : 0);
        return body;
    };
    struct Planned {
        PathGenerator_02Linear::PlanningWork work;
        std::size_t cycles = 0;  // to the end, when run
    };
    const auto plan = [&](int count, float smooth, bool toTheEnd) {
        Arm arm(1);
        arm.ipo.InitPathGen(1, 100.0f, 10.0f, count);
        arm.ipo.InitJointMaxValues(Vel, Acc, Jerk, 250.0f, 1000.0f, 3000.0f, 90.0, 1000.0, 3000.0);
        IPOTest::WriteProgram(root, "chain.xml", chain(count, smooth));
        const Joints start = arm.Current();
        const auto started = std::chrono::steady_clock::now();
        EXPECT_TRUE(arm.LoadAndStart("chain.xml"));
        EXPECT_TRUE(arm.CycleUntil([&] { return arm.Current() != start || !arm.ipo.IsReplayRunning(); }));
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        Planned p;
        p.work = dynamic_cast<PathGenerator_02Linear&>(arm.Generator()).LastPlanningWork();
        std::cout << "[ figures  ] " << count << " moves, smooth " << smooth << ": first motion after " << seconds
                  << " s, " << p.work.wholePaths << " whole paths, " << p.work.mainElements << " main elements planned"
                  << std::endl;
        if (toTheEnd) {
            EXPECT_TRUE(arm.RunToStop());
            EXPECT_FALSE(log.HasStartingWith("PathGen Error"));
            p.cycles = arm.trace.size();
        }
        return p;
    };
    const Planned shortChain = plan(8, 50, true);
    const Planned longChain = plan(32, 50, false);
    for (const Planned* p : {&shortChain, &longChain}) EXPECT_LE(p->work.wholePaths, 4);
    // Four times the chain, at most twice that factor in work (planning that grows with the square gives sixteen).
    EXPECT_LE(longChain.work.mainElements, 8 * shortChain.work.mainElements);
    // And the stops it decides on cost no more time than a chain without blends.
    EXPECT_LE(shortChain.cycles, plan(8, 0, true).cycles);
}

// ---------------------------------------------------------------- Cartesian blends

// Blended Cartesian programs under the Cartesian generator, against the same programs with every
// smooth 0: a blend that the joints cannot pass within their acceleration limits is slowed or
// becomes a stop at its corner, so every joint keeps its limits over 50 ms windows and from one
// cycle to the next, and no program takes longer than its twin without blends.
TEST_F(MotionLimits, ACartesianBlendKeepsEveryJointWithinItsAccelerationLimit) {
    const auto star = [](float smooth) {
        std::string body;
        for (int i = 0; i < 200; ++i) {
            const double t = (i + 1) * 3.0 * 3.14159265358979 / 4.0;
            body += LinearLine(i + 1,
                               Vector3(static_cast<float>(520 + 60 * std::cos(t)), static_cast<float>(60 * std::sin(t)),
                                       static_cast<float>(320 + 20 * std::sin(2 * t))),
                               250, 100, i + 1 < 200 ? smooth : 0);
        }
        return body;
    };
    const auto longLine = [](float smooth) {
        return LinearLine(1, Vector3(450, -500, 350), 250, 100, 0) + LinearLine(2, Vector3(450, 500, 350), 250, 100, smooth) +
               LinearLine(3, Vector3(300, 350, 350), 250, 100, 0);
    };
    const auto pallet = [](float smooth) {
        std::string body;
        for (int i = 0; i < 9; ++i) {
            const Vector3 pick(300, -220, 250);
            const Vector3 place(250.0f + 60.0f * static_cast<float>(i % 3), -60.0f + 60.0f * static_cast<float>(i / 3), 250);
            const Vector3 up(0, 0, 40);
            const int nr = 6 * i;
            body += LinearLine(nr + 1, pick + up, 250, 100, smooth) + LinearLine(nr + 2, pick, 250, 100, 0) +
                    LinearLine(nr + 3, pick + up, 250, 100, smooth) + LinearLine(nr + 4, place + up, 250, 100, smooth) +
                    LinearLine(nr + 5, place, 250, 100, 0) + LinearLine(nr + 6, place + up, 250, 100, i < 8 ? smooth : 0);
        }
        return body;
    };
    struct Case {
        const char* name;
        std::function<std::string(float)> program;
    };
    const Case cases[] = {
        {"200 lines round a star", star},
        {"a 1000 mm line blended into the next", longLine},
        {"a pallet of nine parts", pallet},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        log.Clear();
        Arm stops(1);
        const std::vector<Joints> twin = Run(stops, k.program(0));
        const Profile q = Measure(twin);
        Arm blended(1);
        const std::vector<Joints> t = Run(blended, k.program(50));
        EXPECT_FALSE(log.HasStartingWith("PathGen Error"));
        const Profile p = Measure(t);
        std::cout << "[ figures  ] " << k.name << ": " << t.size() << " cycles, with smooth 0 " << twin.size() << "; "
                  << Describe(p) << "; with smooth 0 " << Describe(q) << std::endl;
        EXPECT_LE(t.size(), twin.size());
        EXPECT_LE(p.velocityRatio, 1.01f) << Describe(p);
        EXPECT_LE(p.windowRatio, 1.0f) << Describe(p);
        for (int i = 0; i < 6; ++i) EXPECT_LE(p.cycleAcc[i], 1.3f * Acc[i]) << "joint " << i + 1 << ": " << Describe(p);
    }
}

// ---------------------------------------------------------------- joint speeds

// velPercent above 100 runs at the joints' maximum, with one log line.
TEST_F(MotionLimits, AJointVelocityAbove100PercentRunsAtTheJointLimits) {
    const float a[6] = {60, -30, 100, 90, -60, 120};
    for (int generator : {0, 1}) {
        SCOPED_TRACE(GeneratorName(generator));
        log.Clear();
        Arm arm(generator);
        const Profile p = Measure(Run(arm, JointLine(1, a, 400, 100, 0)));
        std::cout << "[ figures  ] " << GeneratorName(generator) << " velPercent 400: " << Describe(p) << std::endl;
        EXPECT_FALSE(log.HasStartingWith("PathGen Error"));
        EXPECT_LE(p.velocityRatio, 1.01f) << Describe(p);
        EXPECT_EQ(log.Count("CommandJoint: velPercent 400.0 above 100, taken as 100"), 1);
        for (int i = 0; i < 6; ++i) EXPECT_NEAR(arm.state.jointSetPoint[i], a[i], 0.001f);
    }
}

// A fast line passing 110 mm from the base axis would turn joint 1 (and the wrist with it) faster than
// it may: the path is slowed there so that no joint exceeds its limit, and the joint is named once.
TEST_F(MotionLimits, ACartesianLineNearTheBaseAxisKeepsTheJointVelocityLimits) {
    for (int generator : {0, 1}) {
        SCOPED_TRACE(GeneratorName(generator));
        log.Clear();
        Arm arm(generator);
        const std::vector<Joints> t =
            Run(arm, LinearLine(1, Vector3(110, -250, 400), 100, 100, 0) + LinearLine(2, Vector3(110, 250, 400), 250, 100, 0));
        EXPECT_FALSE(log.HasStartingWith("PathGen Error"));
        const Profile p = Measure(t);
        std::cout << "[ figures  ] " << GeneratorName(generator) << " line 110 mm from the axis at 250 mm/s: "
                  << Describe(p) << std::endl;
        EXPECT_LE(p.velocityRatio, 1.01f) << Describe(p);
        const std::string prefix = generator == 1 ? "PGLinear: joint 1 limits the velocity of command 1"
                                                  : "PG: joint 1 limits the velocity of command 1";
        EXPECT_EQ(log.StartingWith(prefix).size(), 1u);
        auto model = MotionTest::Kinematic();
        EXPECT_LT((CartesianTest::PoseOf(*model, t.back().data()).pose.GetTranslation() - Vector3(110, 250, 400))
                      .Magnitude(),
                  0.05f);
    }
}

// ---------------------------------------------------------------- circle acceleration

// A circle without acceleration runs at full acceleration, like the other motions, under both generators.
TEST_F(MotionLimits, ACircleWithAccelerationZeroRunsToItsEnd) {
    const std::string arc =
        "<Circular Nr=\"2\" AbortCondition=\"false\" vel=\"100\" acc=\"0\" smooth=\"0\" useAngle=\"false\" angle=\"0\" "
        "Source=\"numbers\" p1x=\"530\" p1y=\"30\" p1z=\"400\" p2x=\"500\" p2y=\"60\" p2z=\"400\" a=\"180\" b=\"0\" "
        "c=\"180\" e1=\"0\" e2=\"0\" e3=\"0\" VariableHelperName=\"\" VariableEndName=\"\"/>\n";
    for (int generator : {0, 1}) {
        SCOPED_TRACE(GeneratorName(generator));
        log.Clear();
        Arm arm(generator);
        const std::vector<Joints> t = Run(arm, LinearLine(1, Vector3(500, 0, 400), 100, 0, 0) + arc);
        EXPECT_FALSE(log.HasStartingWith("PathGen Error")) << log.StartingWith("PathGen Error").front();
        EXPECT_TRUE(log.Has("IPO: Program done"));
        auto model = MotionTest::Kinematic();
        EXPECT_LT((CartesianTest::PoseOf(*model, t.back().data()).pose.GetTranslation() - Vector3(500, 60, 400))
                      .Magnitude(),
                  0.05f);
        const Profile p = Measure(t);
        EXPECT_LE(p.velocityRatio, 1.01f) << Describe(p);
    }
}

}  // namespace
