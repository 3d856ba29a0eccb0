// The circle through three points, the circular motion command on its own
// and under the joint path generator, and its program element.

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>

#include "PkgProgram/CartesianTestSupport.h"
#include "PkgProgram/CircleParameters.h"
#include "PkgProgram/CommandCircular.h"
#include "PkgProgram/CommandXml.h"
#include "PkgProgram/MotionTestSupport.h"
#include "PkgProgram/XMLAttribNotFoundException.h"
#include "PkgProgram/XMLAttribParseException.h"
#include "support/LogCapture.h"

using DataTypes::Vector3;

namespace {

constexpr double Pi = 3.14159265358979323846;

std::string Thrown(const Vector3& a, const Vector3& b, const Vector3& c) {
    try {
        CircleParameters circle(a, b, c);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

}  // namespace

TEST(CircleThroughThreePoints, FindsCentreRadiusAndTheArcThroughTheViaPoint) {
    // A tilted circle away from the origin: centre (500, 100, 300), radius 80.
    Vector3 u(1, 1, 0);
    u.Normalize();
    Vector3 v(0, 0.6f, 0.8f);
    v = v - u * Vector3::Dot(u, v);
    v.Normalize();
    const Vector3 c(500, 100, 300);
    auto on = [&](double a) { return c + u * static_cast<float>(80 * std::cos(a)) + v * static_cast<float>(80 * std::sin(a)); };
    struct Case {
        const char* name;
        Vector3 p1, p2, p3;
        Vector3 centre;
        double radius, angle;
    } cases[] = {
        {"three quarters round the origin", {1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 0}, 1.0, 3 * Pi / 2},
        {"half round the origin", {1, 0, 0}, {0, 1, 0}, {-1, 0, 0}, {0, 0, 0}, 1.0, Pi},
        {"tilted, a quarter", on(0), on(0.3), on(Pi / 2), c, 80.0, Pi / 2},
        {"tilted, the long way", on(0), on(2.0), on(4.0), c, 80.0, 4.0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        const CircleParameters circle(k.p1, k.p2, k.p3);
        EXPECT_LT((circle.centre - k.centre).Magnitude(), 1e-3f);
        EXPECT_NEAR(circle.radius, k.radius, 1e-3);
        EXPECT_NEAR(circle.angle, k.angle, 1e-4);
        EXPECT_LT((circle.CalculatePosition(0.0) - k.p1).Magnitude(), 1e-3f);
        EXPECT_LT((circle.CalculatePosition(circle.angle) - k.p3).Magnitude(), 1e-3f);
        // The arc passes the via point.
        double nearest = 1e9;
        for (int i = 0; i <= 2000; ++i)
            nearest = std::min(nearest, static_cast<double>((circle.CalculatePosition(circle.angle * i / 2000.0) - k.p2).Magnitude()));
        EXPECT_LT(nearest, 0.01 * k.radius);
        // The direction is the unit tangent in the direction of travel.
        const Vector3 step = circle.CalculatePosition(1e-3) - circle.CalculatePosition(0.0);
        EXPECT_GT(Vector3::Dot(step, circle.CalculateDirection(0.0)), 0.0f);
        EXPECT_NEAR(circle.CalculateDirection(0.7).Magnitude(), 1.0f, 1e-5f);
    }
}

TEST(CircleThroughThreePoints, LinesAndAnglesOfZeroAreRefused) {
    const std::string inLine = "CommandCircular: Invalid definition of circle, points are in line";
    EXPECT_EQ(Thrown({0, 0, 0}, {1, 1, 1}, {2, 2, 2}), inLine);
    EXPECT_EQ(Thrown({0, 0, 0}, {0, 0, 0}, {2, 2, 2}), inLine);
    EXPECT_EQ(Thrown({5, 5, 5}, {1, 2, 3}, {5, 5, 5}), inLine);
    // Nearly in line: passes the cross-product test, but no float circle goes through them.
    EXPECT_EQ(Thrown({0, 0, 0}, {500, 0.0002f, 0}, {1000, 0, 0}), inLine);
    EXPECT_EQ(Thrown({0, 0, 0}, {500, 0.001f, 0}, {1000, 0.0f, 0}), inLine);
    try {
        CircleParameters circle({1, 0, 0}, {0, 1, 0}, {-1, 0, 0}, 0.01);
        FAIL() << "planned";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "CommandCircular: Invalid definition of circle, target angle is 0");
    }
    // A given angle runs from P1 whatever the end point; a negative one the other way round.
    const CircleParameters forward({1, 0, 0}, {0, 1, 0}, {-1, 0, 0}, 90.0);
    const CircleParameters backward({1, 0, 0}, {0, 1, 0}, {-1, 0, 0}, -90.0);
    EXPECT_LT((forward.CalculatePosition(forward.angle) - Vector3(0, 1, 0)).Magnitude(), 1e-5f);
    EXPECT_LT((backward.CalculatePosition(backward.angle) - Vector3(0, -1, 0)).Magnitude(), 1e-5f);
    EXPECT_LT((backward.CalculateDirection(0.0) + forward.CalculateDirection(0.0)).Magnitude(), 1e-5f);
}

namespace {

const char* const FullCircular =
    "<Circular Nr=\"4\" AbortCondition=\"false\" vel=\"100\" acc=\"50\" smooth=\"20\" useAngle=\"false\" angle=\"0\" "
    "Source=\"numbers\" p1x=\"520\" p1y=\"60\" p1z=\"300\" p2x=\"560\" p2y=\"0\" p2z=\"300\" a=\"180\" b=\"0\" "
    "c=\"180\" e1=\"0\" e2=\"0\" e3=\"0\" VariableHelperName=\"a\" VariableEndName=\"b\"/>";

std::string Without(const std::string& attribute) {
    std::string xml = FullCircular;
    const std::size_t at = xml.find(" " + attribute + "=\"");
    const std::size_t end = xml.find('"', xml.find('"', at) + 1);
    return xml.erase(at, end + 1 - at);
}

}  // namespace

TEST(CommandCircular, ReadsEveryAttributeAndRefusesMissingOnesAndNoVelocity) {
    TestSupport::LogCapture log;
    CommandCircular c;
    CommandXml::Read(c, FullCircular, false);
    EXPECT_TRUE(c.valid);
    EXPECT_EQ(c.motionKind, 1);
    EXPECT_EQ(c.className, "CommandCircular");
    EXPECT_FLOAT_EQ(c.cartVelocity, 100.0f);
    EXPECT_LT((c.endPoint - Vector3(560, 0, 300)).Magnitude(), 1e-6f);
    EXPECT_TRUE(log.HasStartingWith("   Nr. 4: Circular 520.0 60.0 300.0, 560.0 0.0 300.0, Ori 180.0 0.0 180.0"));

    for (const char* attribute : {"AbortCondition", "vel", "smooth", "useAngle", "p2z", "e3"}) {
        SCOPED_TRACE(attribute);
        CommandCircular missing;
        EXPECT_THROW(CommandXml::Read(missing, Without(attribute), true), XMLAttribNotFoundException);
    }
    std::string bad = FullCircular;
    bad.replace(bad.find("vel=\"100\""), 9, "vel=\"fast\"");
    CommandCircular unparsable;
    EXPECT_THROW(CommandXml::Read(unparsable, bad, true), XMLAttribParseException);
    for (const char* vel : {"0", "-5"}) {
        std::string xml = FullCircular;
        xml.replace(xml.find("vel=\"100\""), 9, std::string("vel=\"") + vel + "\"");
        CommandCircular slow;
        CommandXml::Read(slow, xml, true);
        EXPECT_FALSE(slow.valid) << vel;
    }
}

TEST(CommandCircular, VariableTargetsMustExist) {
    IPOTest::Interpreter interpreter;
    CommandCircular c;
    c.variableSource = true;
    c.memory = &interpreter.memory;
    DataTypes::RobotState start;
    DataTypes::RobotState target;
    float vel = 0, joint = 0, acc = 0, smooth = 0;
    try {
        c.GetTargetPosition(&start, &target, vel, joint, acc, smooth);
        FAIL() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "CommandCircular: Variable is not defined");
    }
}

// Arc, rotation and external axis share one count of calls: all arrive together, exactly.
TEST(CommandCircular, InterpolationMovesEveryQuantityItsShareAndLandsOnTheTargets) {
    struct Case {
        const char* name;
        float vel;
        Vector3 orientation;
        float external;  // target of external axis 1
    } cases[] = {
        {"the arc sets the pace", 100, {180, 0, 180}, 0},
        {"the rotation sets the pace", 400, {150, 20, 170}, 0},
        {"the external axis sets the pace", 400, {180, 0, 180}, 250},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        CommandCircular c;
        c.viaPoint = Vector3(520, 60, 300);
        c.endPoint = Vector3(560, 0, 300);
        c.targetOrientation = k.orientation;
        c.targetExternal = Vector3(k.external, 0, 0);
        c.cartVelocity = k.vel;
        c.succ[0] = 7;
        DataTypes::RobotState s;
        s.pose.SetRotationABCDeg2(180, 0, 180);
        s.pose.SetTranslation(500, 0, 300);
        s.UpdateABC();
        int calls = 0;
        int result = -1;
        float lastExternal = 0.0f;
        float largestExternalStep = 0.0f;
        while (result == -1 && calls < 100000) {
            result = c.Interpolate(10, 100.0f, &s);
            ++calls;
            EXPECT_NEAR((s.pose.GetTranslation() - c.circle->centre).Magnitude(), c.circle->radius, 1e-3);
            largestExternalStep = std::max(largestExternalStep, std::fabs(s.jointSetPoint[6] - lastExternal));
            lastExternal = s.jointSetPoint[6];
        }
        EXPECT_EQ(result, 7);
        EXPECT_LT((s.pose.GetTranslation() - Vector3(560, 0, 300)).Magnitude(), 1e-4f);
        DataTypes::Matrix44 goal;
        goal.SetRotationABCDeg2(k.orientation.x, k.orientation.y, k.orientation.z);
        EXPECT_LT(CartesianTest::OrientationError(s.pose, goal), 1e-3f);
        EXPECT_FLOAT_EQ(s.jointSetPoint[6], k.external);
        // The axis moves in equal shares at no more than its maximum velocity per call.
        if (k.external != 0.0f) {
            EXPECT_NEAR(largestExternalStep, k.external / calls, 1e-3f);
            EXPECT_LE(largestExternalStep, c.jointMaxVelocity[6] * 0.010f + 1e-4f);
        }
        // The arc alone runs at half its velocity (the divisor of stored programs).
        if (k.vel == 100 && k.external == 0.0f && k.orientation.x == 180.0f) {
            const double arc = c.circle->radius * c.circle->angle;
            EXPECT_NEAR(calls, std::ceil(arc / (k.vel / 2.0 * 0.010)), 1.0);
        }
    }
}

// Under the joint path generator the sampled arc ends exactly on its end point and orientation.
TEST(CommandCircular, UnderTheJointGeneratorTheArcEndsOnItsEndPoint) {
    TestSupport::ScratchRoot root;
    MotionTest::Robot robot(true);
    IPOTest::WriteProgram(root, "arc.xml",
                          "<Joint Nr=\"1\" a1=\"0\" a2=\"17.8\" a3=\"10.7\" a4=\"0\" a5=\"61.4\" a6=\"0\" velPercent=\"80\" "
                          "acc=\"80\" smooth=\"0\" AbortCondition=\"false\"/>\n"
                          "<Circular Nr=\"2\" AbortCondition=\"false\" vel=\"150\" acc=\"50\" smooth=\"0\" useAngle=\"false\" "
                          "angle=\"0\" Source=\"numbers\" p1x=\"520\" p1y=\"60\" p1z=\"320\" p2x=\"560\" p2y=\"10\" p2z=\"300\" "
                          "a=\"170\" b=\"5\" c=\"175\" e1=\"0\" e2=\"0\" e3=\"0\" VariableHelperName=\"\" VariableEndName=\"\"/>\n");
    ASSERT_TRUE(robot.LoadAndStart("arc.xml"));
    ASSERT_TRUE(robot.RunToStop());
    auto model = MotionTest::Kinematic();
    model->SetJoints(robot.state.jointSetPoint, false);
    DataTypes::RobotState end;
    model->GetPosition(&end);
    EXPECT_LT((end.pose.GetTranslation() - Vector3(560, 10, 300)).Magnitude(), 0.001f);
    DataTypes::Matrix44 goal;
    goal.SetRotationABCDeg2(170, 5, 175);
    EXPECT_LT(CartesianTest::OrientationError(end.pose, goal), 0.01f);
}
