// The joints along the path a program really takes, read from the set-points of every 10 ms
// cycle under both path generators: a circular move is checked along its arc before it starts
// (an arc round the base runs, one that would carry a joint past its limit is refused before the
// arm moves), and every one of the six joints keeps its acceleration limit, the wrist's too.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "PkgProgram/CartesianTestSupport.h"
#include "PkgProgram/MotionTestSupport.h"
#include "datatypes/Matrix44.h"
#include "datatypes/RobotState.h"
#include "datatypes/Vector3.h"
#include "support/LogCapture.h"

namespace {

using DataTypes::Vector3;
using MotionTest::Acc;
using MotionTest::Jerk;
using MotionTest::Joints;
using MotionTest::Vel;

// The software limits of the test robot's joints.
constexpr float JointMin[6] = {-170, -120, -150, -180, -120, -350};
constexpr float JointMax[6] = {170, 120, 150, 180, 120, 350};

const char* GeneratorName(int type) { return type == 1 ? "02Linear" : "01"; }

std::string SampleRobotFile() {
    return std::string(KORVELLA_SAMPLES_DIR) + "/six-axis/Data/Robots/KorvellaSix/KorvellaSix.xml";
}

// The interpreter with a generator of the given type, the limits above and a robot file's model.
struct Arm : MotionTest::Robot {
    Arm(int generator, const std::string& robotFile, IPO::IpoType type = IPO::IpoTypeMain)
        : MotionTest::Robot(false, 3, type) {
        ipo.InitPathGen(generator, 100.0f, 10.0f, 3);
        ipo.InitJointMaxValues(Vel, Acc, Jerk, 250.0f, 1000.0f, 3000.0f, 90.0, 1000.0, 3000.0);
        ipo.SetKinematic(MotionTest::KinematicOfFile(robotFile).release());
    }
    void StartAt(const float* joints) {
        for (int i = 0; i < 9; ++i) state.jointSetPoint[i] = joints[i];
    }
};

float Excursion(const std::vector<Joints>& t) {
    float most = 0.0f;
    for (const Joints& j : t)
        for (std::size_t i = 0; i < 6; ++i) most = std::max(most, std::fabs(j[i] - t.front()[i]));
    return most;
}

std::string Describe(const MotionTest::JointRates& r) {
    char text[512];
    std::snprintf(text, sizeof(text),
                  "j1..j6 peak velocity %.0f %.0f %.0f %.0f %.0f %.0f deg/s; 50 ms acceleration %.0f %.0f %.0f %.0f %.0f "
                  "%.0f; per cycle %.0f %.0f %.0f %.0f %.0f %.0f deg/s^2",
                  r.velocity[0], r.velocity[1], r.velocity[2], r.velocity[3], r.velocity[4], r.velocity[5],
                  r.windowAcc[0], r.windowAcc[1], r.windowAcc[2], r.windowAcc[3], r.windowAcc[4], r.windowAcc[5],
                  r.cycleAcc[0], r.cycleAcc[1], r.cycleAcc[2], r.cycleAcc[3], r.cycleAcc[4], r.cycleAcc[5]);
    return text;
}

// A point on a circle of 500 mm round the base axis, 300 mm up, at an angle in degrees.
Vector3 RoundTheBase(float degrees) {
    const float r = degrees * 3.14159265f / 180.0f;
    return Vector3(500.0f * std::cos(r), 500.0f * std::sin(r), 300.0f);
}

std::string LineTo(int nr, const Vector3& p, float smooth) {
    char text[512];
    std::snprintf(text, sizeof(text),
                  "<Linear Nr=\"%d\" x=\"%g\" y=\"%g\" z=\"%g\" a=\"180\" b=\"0\" c=\"180\" vel=\"150\" acc=\"100\" "
                  "smooth=\"%g\" AbortCondition=\"false\"/>\n",
                  nr, p.x, p.y, p.z, smooth);
    return text;
}

std::string ArcThrough(int nr, const Vector3& via, const Vector3& end) {
    char text[512];
    std::snprintf(text, sizeof(text),
                  "<Circular Nr=\"%d\" AbortCondition=\"false\" vel=\"250\" acc=\"100\" smooth=\"0\" useAngle=\"false\" "
                  "angle=\"0\" Source=\"numbers\" p1x=\"%g\" p1y=\"%g\" p1z=\"%g\" p2x=\"%g\" p2y=\"%g\" p2z=\"%g\" "
                  "a=\"180\" b=\"0\" c=\"180\" e1=\"0\" e2=\"0\" e3=\"0\" VariableHelperName=\"\" "
                  "VariableEndName=\"\"/>\n",
                  nr, via.x, via.y, via.z, end.x, end.y, end.z);
    return text;
}

class JointLimitsOnThePath : public ::testing::Test {
protected:
    // Loads and runs the program to its end; the set-points of every cycle with the start in front.
    std::vector<Joints> Run(Arm& arm, const std::string& body) {
        IPOTest::WriteProgram(root, "path.xml", body);
        std::vector<Joints> t{arm.Current()};
        EXPECT_TRUE(arm.LoadAndStart("path.xml"));
        EXPECT_TRUE(arm.RunToStop());
        t.insert(t.end(), arm.trace.begin(), arm.trace.end());
        return t;
    }

    TestSupport::ScratchRoot root;
    TestSupport::LogCapture log;
};

// ---------------------------------------------------------------- arcs

// A line to 100 degrees right of the front, blended into an arc of 200 degrees round the base
// through the front to 100 degrees left: joint 1 turns from -100 to +100 along the arc, inside its
// limits of +-170, so the program runs to its end (the straight chord between the arc's ends
// would take the base the other way round, past -170). The same arc the long way round, through
// the back, would turn joint 1 to -260: refused before the arm moves, the error naming the arc.
TEST_F(JointLimitsOnThePath, ACircularMoveIsCheckedAlongItsArc) {
    struct Case {
        const char* name;
        float via;          // degrees round the base
        const char* error;  // empty: runs to its end
    };
    const Case cases[] = {
        {"arc through the front", 0, ""},
        {"arc through the back", 180, "PathGen Error in command 1: Joint Min"},
    };
    auto model = MotionTest::Kinematic();
    DataTypes::Matrix44 start;
    start.SetRotationABCDeg2(180, 0, 180);
    start.SetTranslation(RoundTheBase(-95));
    const float seed[9] = {-95, 20, 60, 0, 60, 0, 0, 0, 0};
    const Joints from = MotionTest::JointsOfPose(*model, start, seed);
    for (int generator : {0, 1}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + " with " + GeneratorName(generator));
            log.Clear();
            Arm arm(generator, TestSupport::FixturePath("prog-sixaxis-robot.xml"));
            arm.StartAt(from.data());
            const std::vector<Joints> t =
                Run(arm, LineTo(1, RoundTheBase(-100), 20) + ArcThrough(2, RoundTheBase(c.via), RoundTheBase(100)));
            float low[6];
            float high[6];
            for (int i = 0; i < 6; ++i) {
                low[i] = 1e9f;
                high[i] = -1e9f;
            }
            for (const Joints& j : t) {
                for (std::size_t i = 0; i < 6; ++i) {
                    low[i] = std::min(low[i], j[i]);
                    high[i] = std::max(high[i], j[i]);
                }
            }
            const MotionTest::JointRates r = MotionTest::MeasureJointRates(t);
            const std::vector<std::string> errors = log.StartingWith("PathGen Error");
            std::cout << "[ figures  ] " << GeneratorName(generator) << " " << c.name << ": " << t.size()
                      << " cycles, joint 1 from " << low[0] << " to " << high[0] << ", "
                      << (errors.empty() ? std::string("no error") : errors.front()) << "; " << Describe(r) << std::endl;
            if (*c.error == '\0') {
                EXPECT_TRUE(errors.empty()) << errors.front();
                EXPECT_TRUE(log.Has("IPO: Program done"));
                EXPECT_LT(
                    (CartesianTest::PoseOf(*model, t.back().data()).pose.GetTranslation() - RoundTheBase(100)).Magnitude(),
                    0.05f);
                // The blend into the arc cuts its corner at -100 a little.
                EXPECT_LT(low[0], -98.0f);
                EXPECT_GT(high[0], 99.0f);
                for (int i = 0; i < 6; ++i) {
                    EXPECT_GE(low[i], JointMin[i]) << "joint " << i + 1;
                    EXPECT_LE(high[i], JointMax[i]) << "joint " << i + 1;
                    EXPECT_LE(r.velocity[i], 1.01f * Vel[i]) << "joint " << i + 1 << ": " << Describe(r);
                }
            } else {
                ASSERT_FALSE(errors.empty());
                EXPECT_EQ(errors.front(), c.error);
                EXPECT_TRUE(log.Has("PathGen: target of command 1 refused: Joint Min"));
                EXPECT_LT(Excursion(t), 0.001f);
            }
        }
    }
}

// ---------------------------------------------------------------- every joint's acceleration

// Programs that move the wrist joints hard: a relative move of joint 6 alone, and a line that turns
// the wrist by more than half a turn. Under either generator every one of the six joints keeps its
// own acceleration limit over 50 ms windows; from one cycle to the next the joint generator's
// 50 ms slicing may show a window's change of speed within one cycle, no more. The joint
// generator's move takes no longer than its joint's limits ask.
TEST_F(JointLimitsOnThePath, EveryJointKeepsItsAccelerationLimit) {
    struct Case {
        const char* name;
        std::string robotFile;
        float start[9];
        std::string program;  // empty: the direct move of a remote client's "Move RelativeJoint"
        float ideal;          // seconds the slowest joint needs at its limits; 0: not checked
    };
    const float j6Degrees = 90.0f;
    const std::string relative =
        "<Relative Nr=\"1\" MoType=\"joint\" a1=\"0\" a2=\"0\" a3=\"0\" a4=\"0\" a5=\"0\" a6=\"90\" velPercent=\"100\" "
        "acc=\"100\" smooth=\"0\" AbortCondition=\"false\"/>\n";
    const Case cases[] = {
        {"relative move of joint 6 in a program",
         TestSupport::FixturePath("prog-sixaxis-robot.xml"),
         {0, 17.8f, 10.7f, 0, 61.4f, 0, 0, 0, 0},
         relative,
         j6Degrees / Vel[5] + Vel[5] / Acc[5]},
        // A direct move accelerates at 30 % of the limits.
        {"relative move of joint 6 as a direct move",
         TestSupport::FixturePath("prog-sixaxis-robot.xml"),
         {0, 17.8f, 10.7f, 0, 61.4f, 0, 0, 0, 0},
         "",
         j6Degrees / Vel[5] + Vel[5] / (0.3f * Acc[5])},
        {"line turning the wrist beyond half a turn",
         SampleRobotFile(),
         {60, 10, 80, 0, 90, 100, 0, 0, 0},
         "<Linear Nr=\"1\" x=\"230.4\" y=\"-399\" z=\"508.1\" a=\"-120\" b=\"0\" c=\"-180\" vel=\"100\" acc=\"100\" "
         "smooth=\"20\" AbortCondition=\"false\"/>\n"
         "<Linear Nr=\"2\" x=\"250.4\" y=\"-399\" z=\"508.1\" a=\"90\" b=\"0\" c=\"180\" vel=\"100\" acc=\"100\" "
         "smooth=\"0\" AbortCondition=\"false\"/>\n",
         0.0f},
    };
    for (int generator : {0, 1}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + " with " + GeneratorName(generator));
            log.Clear();
            const bool direct = c.program.empty();
            Arm arm(generator, c.robotFile, direct ? IPO::IpoTypeDirect : IPO::IpoTypeMain);
            arm.StartAt(c.start);
            std::vector<Joints> t;
            if (direct) {
                const float deltas[9] = {0, 0, 0, 0, 0, j6Degrees, 0, 0, 0};
                t.push_back(arm.Current());
                arm.ipo.MoveRelativeJoint(deltas, 100.0f);
                arm.ipo.Start();
                EXPECT_TRUE(arm.RunToStop());
                t.insert(t.end(), arm.trace.begin(), arm.trace.end());
            } else {
                t = Run(arm, c.program);
            }
            const MotionTest::JointRates r = MotionTest::MeasureJointRates(t);
            const double seconds = static_cast<double>(t.size() - 1) * MotionTest::CycleMs / 1000.0;
            std::cout << "[ figures  ] " << GeneratorName(generator) << " " << c.name << ": " << t.size() - 1
                      << " cycles (" << seconds << " s); " << Describe(r) << std::endl;
            EXPECT_FALSE(log.HasStartingWith("PathGen Error"));
            EXPECT_TRUE(log.Has(direct ? "IPO: MoveTo done" : "IPO: Program done"));
            const float perCycle = generator == 1 ? 1.3f : 5.05f;
            for (int i = 0; i < 6; ++i) {
                EXPECT_LE(r.velocity[i], 1.01f * Vel[i]) << "joint " << i + 1 << ": " << Describe(r);
                EXPECT_LE(r.windowAcc[i], 1.001f * Acc[i]) << "joint " << i + 1 << ": " << Describe(r);
                EXPECT_LE(r.cycleAcc[i], perCycle * Acc[i]) << "joint " << i + 1 << ": " << Describe(r);
            }
            if (c.ideal > 0.0f) {
                EXPECT_NEAR(t.back()[5] - t.front()[5], j6Degrees, 0.001f);
                // The joint generator's ramps: no slower than the joint's limits ask, to a few
                // slicing periods (the Cartesian generator's jerk-limited profiles take longer).
                if (generator == 0) {
                    EXPECT_LE(seconds, 1.25 * c.ideal + 0.1) << "ideal " << c.ideal << " s";
                }
            }
        }
    }
}

}  // namespace
