// Path elements on their own: which profile leads a line, the cuts at the
// blends, sampling at and beyond the ends, arcs, joint sets, and the time
// table of the blends.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>

#include "PkgProgram/CartesianTestSupport.h"
#include "PkgProgram/CircleParameters.h"
#include "PkgProgram/PathElementCircular.h"
#include "PkgProgram/PathElementJointSet.h"
#include "PkgProgram/PathElementLine.h"
#include "PkgProgram/PathElementSpline.h"
#include "PkgProgram/PathElementSpline6.h"
#include "datatypes/RobotState.h"

using DataTypes::RobotState;
using DataTypes::Vector3;

namespace {

const float JointVel[9] = {90, 90, 90, 120, 120, 120, 100, 100, 100};
const float JointAcc[9] = {500, 500, 500, 500, 500, 500, 500, 500, 500};
const float JointJerk[9] = {2000, 2000, 2000, 2000, 2000, 2000, 2000, 2000, 2000};

RobotState Pose(const Vector3& p, float a, float b, float c) {
    RobotState s;
    s.pose.SetRotationABCDeg2(a, b, c);
    s.pose.SetTranslation(p);
    s.UpdateABC();
    return s;
}

template <class Element>
void Limits(Element& e, float oriVelocity = 45.0f) {
    e.SetMotionParameter(JointVel, JointAcc, JointJerk, 250, 1000, 3000, oriVelocity, 1000, 3000);
}

// A line from `from` to `to`, cut by the blend distances and planned.
std::unique_ptr<Programs::PathElementLine> PlannedLine(const RobotState& from, const RobotState& to, float vel,
                                                      float cutStart = 0.0f, float cutEnd = 0.0f,
                                                      float oriVelocity = 45.0f) {
    auto line = std::make_unique<Programs::PathElementLine>(3, 4);
    Limits(*line, oriVelocity);
    line->Init(to, vel, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f);
    RobotState start = from;
    RobotState end;
    line->PrepareGeometry(start, cutStart, cutEnd, end);
    line->PrepareAcceleration();
    return line;
}

}  // namespace

TEST(PathElementLine, TheProfileThatNeedsLongestLeadsAndTheOthersFollowIt) {
    const RobotState from = Pose({400, 0, 300}, 0, 0, 0);
    // 100 mm at 50 mm/s and 90 degrees at 45 degrees/s both take 2000 ms: the translation leads.
    auto even = PlannedLine(from, Pose({500, 0, 300}, 90, 0, 0), 50.0f);
    EXPECT_EQ(even->leadingProfile, 0);
    // 108 degrees take 2400 ms: the rotation leads and the translation keeps its pace.
    auto turning = PlannedLine(from, Pose({500, 0, 300}, 108, 0, 0), 50.0f);
    EXPECT_EQ(turning->leadingProfile, 1);
    const float total = turning->GetDuration();
    for (float t = 0.0f; t < total; t += total / 7.0f) {
        RobotState s;
        EXPECT_EQ(turning->GetPosition(t, s), Programs::PathElement::InRange);
        const float moved = (s.pose.GetTranslation().x - 400.0f) / 100.0f;
        const float turned = CartesianTest::OrientationError(from.pose, s.pose) / 108.0f;
        EXPECT_NEAR(moved, turned, 1e-3f) << "t " << t;
    }
}

TEST(PathElementLine, CutsAreAThirdAtMostAndSamplingHitsBothCutEndsExactly) {
    const RobotState from = Pose({400, 0, 300}, 0, 0, 0);
    const RobotState to = Pose({430, 0, 300}, 30, 0, 0);
    auto line = PlannedLine(from, to, 50.0f, 20.0f, 5.0f, 90.0f);
    // The start cut is limited to 10 mm, a third of the 30 mm line.
    EXPECT_NEAR(line->startState.pose.GetTranslation().x, 410.0f, 1e-4f);
    EXPECT_NEAR(line->endState.pose.GetTranslation().x, 425.0f, 1e-4f);
    EXPECT_NEAR(line->profiles[0].Length, 15.0f, 1e-4f);
    // The orientation is cut by the same fractions: 10 of 30 degrees at the start.
    EXPECT_NEAR(CartesianTest::OrientationError(from.pose, line->startState.pose), 10.0f, 1e-2f);
    EXPECT_NEAR(CartesianTest::OrientationError(from.pose, line->endState.pose), 25.0f, 1e-2f);

    RobotState s;
    EXPECT_EQ(line->GetPosition(0.0f, s), Programs::PathElement::InRange);
    EXPECT_LT((s.pose.GetTranslation() - Vector3(410, 0, 300)).Magnitude(), 1e-4f);
    EXPECT_LT(CartesianTest::OrientationError(s.pose, line->startState.pose), 1e-3f);
    for (float t : {line->GetDuration(), line->GetDuration() + 50.0f, -1.0f}) {
        RobotState e;
        EXPECT_EQ(line->GetPosition(t, e), Programs::PathElement::OutOfRange) << t;
        EXPECT_LT((e.pose.GetTranslation() - Vector3(425, 0, 300)).Magnitude(), 1e-4f) << t;
        EXPECT_LT(CartesianTest::OrientationError(e.pose, line->endState.pose), 1e-3f) << t;
    }
}

TEST(PathElementCircular, TheSampledAngleNeverPassesTheEndAngle) {
    for (double degrees : {120.0, -120.0}) {
        SCOPED_TRACE(degrees);
        auto circle = std::make_shared<CircleParameters>(Vector3(500, 0, 300), Vector3(450, 50, 300),
                                                         Vector3(400, 0, 300), degrees);
        Programs::PathElementCircular arc(1, 2, circle);
        Limits(arc);
        RobotState to = Pose(circle->CalculatePosition(circle->angle), 0, 0, 0);
        arc.Init(to, 100.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f);
        RobotState start = Pose({500, 0, 300}, 0, 0, 0);
        RobotState end;
        arc.PrepareGeometry(start, 0.0f, 10.0f, end);
        arc.PrepareAcceleration();
        EXPECT_NEAR(arc.endAngle, circle->angle * (1.0 - 10.0 / (circle->radius * std::fabs(circle->angle))), 1e-6);
        double previous = 0.0;
        for (float t = 0.0f; t < arc.GetDuration(); t += 5.0f) {
            RobotState s;
            arc.GetPosition(t, s);
            // Position back to angle along the circle: never beyond the cut end.
            const Vector3 local = s.pose.GetTranslation() - circle->centre;
            EXPECT_NEAR(local.Magnitude(), circle->radius, 1e-3);
            const double along = std::atan2(Vector3::Dot(local, circle->frame.GetColumnVector(0)),
                                            Vector3::Dot(local, circle->frame.GetColumnVector(1)));
            EXPECT_LE(std::fabs(along), std::fabs(arc.endAngle) + 1e-5);
            EXPECT_GE(std::fabs(along), previous - 1e-6);
            previous = std::fabs(along);
        }
        // The tangents point along the motion at both cut ends.
        const Vector3 firstStep = circle->CalculatePosition(circle->angle * 1e-4) - circle->CalculatePosition(0.0);
        EXPECT_GT(Vector3::Dot(firstStep, arc.startDirection), 0.0f);
    }
}

TEST(PathElementJointSet, JointsAlreadyAtTheirTargetsTakeNoTime) {
    Programs::PathElementJointSet move(0, 1);
    Limits(move);
    RobotState target;
    for (int j = 0; j < 9; ++j) target.jointSetPoint[j] = static_cast<float>(j);
    move.Init(target, 0.5f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f);
    RobotState start = target;
    RobotState end;
    move.PrepareGeometry(start, 0.0f, 0.0f, end);
    move.PrepareAcceleration();
    EXPECT_EQ(move.GetDuration(), 0.0f);
    EXPECT_EQ(move.GetVel(), 0.5f);
    RobotState s;
    EXPECT_EQ(move.GetPosition(0.0f, s), Programs::PathElement::OutOfRange);
    for (int j = 0; j < 9; ++j) EXPECT_EQ(s.jointSetPoint[j], static_cast<float>(j));
}

namespace {

// A blend over a corner of two 5 mm legs at right angles.
std::unique_ptr<Programs::PathElementSpline> Blend(float in, float out) {
    auto blend = std::make_unique<Programs::PathElementSpline>(1, 2);
    Limits(*blend);
    blend->InitSpline(Pose({400, 0, 300}, 0, 0, 0), Pose({405, 0, 300}, 0, 0, 0), Pose({405, 5, 300}, 0, 0, 0), out, in,
                      out, 1.0f, 0.0f, 0.0f);
    blend->PrepareAcceleration();
    return blend;
}

}  // namespace

TEST(PathElementSpline, TheTimeTableWalksEqualDistancesIn5MsRows) {
    auto even = Blend(100.0f, 100.0f);
    const auto& rows = even->lookUpTable;
    ASSERT_GT(rows.size(), 3u);
    for (std::size_t i = 1; i + 1 < rows.size(); ++i) {
        EXPECT_FLOAT_EQ(rows[i].time - rows[i - 1].time, 5.0f);
        EXPECT_NEAR(rows[i].length - rows[i - 1].length, 0.5f, 1e-4f);
    }
    EXPECT_NEAR(even->duration, even->length / 100.0 * 1000.0, 0.5);
    // The last row takes only the time of the distance that was left.
    EXPECT_LE(rows.back().time - rows[rows.size() - 2].time, 5.0f);

    // 50 mm/s in, 150 mm/s out: the distance per row grows with the curve parameter.
    auto ramp = Blend(50.0f, 150.0f);
    const auto& r = ramp->lookUpTable;
    for (std::size_t i = 1; i + 1 < r.size(); ++i) {
        const float expected = 0.005f * (50.0f + 100.0f * r[i - 1].parameter);
        EXPECT_NEAR(r[i].length - r[i - 1].length, expected, 1e-4f) << "row " << i;
    }

    RobotState s;
    EXPECT_EQ(ramp->GetPosition(0.0f, s), Programs::PathElement::InRange);
    EXPECT_LT((s.pose.GetTranslation() - Vector3(400, 0, 300)).Magnitude(), 1e-4f);
    const float atEnd = std::nextafter(static_cast<float>(ramp->duration), 1e9f);  // the first float not before it
    for (float t : {atEnd, -1.0f}) {
        EXPECT_EQ(ramp->GetPosition(t, s), Programs::PathElement::OutOfRange);
        EXPECT_LT((s.pose.GetTranslation() - Vector3(405, 5, 300)).Magnitude(), 1e-4f);
    }
}

TEST(PathElementSpline, ASpeedThatIsNotAboveZeroCountsAsStandingStill) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (float speed : {0.0f, -20.0f, nan}) {
        SCOPED_TRACE(speed);
        auto blend = Blend(speed, speed);
        EXPECT_EQ(blend->duration, 0.0);
        RobotState s;
        EXPECT_EQ(blend->GetPosition(0.0f, s), Programs::PathElement::OutOfRange);
        EXPECT_LT((s.pose.GetTranslation() - Vector3(405, 5, 300)).Magnitude(), 1e-4f);
    }
    // Standing still at one end only: the blend still ends.
    auto stopping = Blend(80.0f, -5.0f);
    EXPECT_GT(stopping->duration, 0.0);
    EXPECT_LT(stopping->lookUpTable.size(), 30000u);
}

TEST(PathElementSpline, ACubicBlendFollowsItsFourPoints) {
    Programs::PathElementSpline blend(1, 2);
    Limits(blend);
    const RobotState p0 = Pose({0, 0, 0}, 0, 0, 0);
    const RobotState p1 = Pose({10, 0, 0}, 20, 0, 0);
    const RobotState p2 = Pose({10, 10, 0}, 90, 0, 0);
    const RobotState p3 = Pose({20, 10, 0}, 40, 0, 0);
    blend.InitSpline(p0, p1, p2, p3, 100.0f, 100.0f, 100.0f, 1.0f, 0.0f, 0.0f);
    blend.PrepareAcceleration();
    DataTypes::BezierCasteljau cubic(3);
    for (const RobotState* s : {&p0, &p1, &p2, &p3}) cubic.AddStartPoint(s->pose.GetTranslation());
    for (std::size_t i = 0; i < blend.lookUpTable.size(); ++i) {
        const auto& row = blend.lookUpTable[i];
        RobotState s;
        blend.GetPosition(row.time, s);
        float expected[3];
        cubic.Interpolate(row.parameter, expected);
        if (row.time < blend.duration) {
            EXPECT_LT((s.pose.GetTranslation() - Vector3(expected[0], expected[1], expected[2])).Magnitude(), 1e-3f);
        }
    }
    // The orientation blends through the first inner state only: at the end it is the last state's.
    RobotState end;
    blend.GetPosition(std::nextafter(static_cast<float>(blend.duration), 1e9f), end);
    EXPECT_LT(CartesianTest::OrientationError(end.pose, p3.pose), 1e-2f);
}

TEST(PathElementSpline6, EachLegsJointVelocitiesPointAlongTheLeg) {
    Programs::PathElementSpline6 blend(1, 2);
    Limits(blend);
    RobotState start;
    RobotState corner;
    RobotState end;
    corner.jointSetPoint[2] = 10.0f;  // the first leg moves joint 3 only
    end.jointSetPoint[2] = 10.0f;
    end.jointSetPoint[0] = 5.0f;
    end.jointSetPoint[1] = -10.0f;
    blend.InitSpline(start, corner, end, 0.5f, 0.4f, 0.5f, 1.0f, 0.0f, 0.0f);
    blend.PrepareAcceleration();
    for (int j = 0; j < 9; ++j) EXPECT_EQ(blend.entryVelocities[j], j == 2 ? 0.4f * 90.0f : 0.0f) << j;
    EXPECT_FLOAT_EQ(blend.exitVelocities[1], -0.5f * 90.0f);
    EXPECT_FLOAT_EQ(blend.exitVelocities[0], 0.5f * 90.0f * 0.5f);
    EXPECT_NEAR(blend.entrySpeed, 36.0, 1e-4);
    EXPECT_GT(blend.duration, 0.0);
    RobotState s;
    EXPECT_EQ(blend.GetPosition(std::nextafter(static_cast<float>(blend.duration), 1e9f), s),
              Programs::PathElement::OutOfRange);
    EXPECT_FLOAT_EQ(s.jointSetPoint[0], 5.0f);
    EXPECT_FLOAT_EQ(s.jointSetPoint[1], -10.0f);
}

// A robot without external axes has no velocity for them: axes that do not move take no time.
TEST(PathElementLine, AxesWithoutVelocityThatDoNotMoveTakeNoTime) {
    const float none[9] = {90, 90, 90, 120, 120, 120, 0, 0, 0};
    Programs::PathElementLine line(0, 1);
    line.SetMotionParameter(none, JointAcc, JointJerk, 250, 1000, 3000, 90, 1000, 3000);
    const RobotState to = Pose({450, 0, 300}, 0, 0, 0);
    line.Init(to, 100.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f);
    RobotState start = Pose({400, 0, 300}, 0, 0, 0);
    RobotState end;
    line.PrepareGeometry(start, 0.0f, 0.0f, end);
    // The durations by distance over velocity that choose the leading profile.
    for (int k = 0; k < 5; ++k) EXPECT_TRUE(std::isfinite(line.durations[k])) << k;
    EXPECT_EQ(line.durations[2], 0.0f);
    line.PrepareAcceleration();
    EXPECT_EQ(line.leadingProfile, 0);
    EXPECT_GT(line.GetDuration(), 500.0f);
}
