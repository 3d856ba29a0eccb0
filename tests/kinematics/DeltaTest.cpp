// Rotary delta: closed-form inverse, the forward search that follows the
// joints from call to call, tools, and the reach, rod and joint refusals.

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>

#include "KinTestSupport.h"
#include "kinematics/RobotKinematicDelta.h"

using KinTest::Distance;
using KinTest::LogCapture;
using KinTest::ThrownCode;

namespace {

std::unique_ptr<RobotKinematicDelta> MakeDelta() {
    auto kin = std::make_unique<RobotKinematicDelta>();
    kin->Init("TestDelta", "Delta", "no-file-is-read.xml", -1);
    kin->cycleTimeMs = 4;
    return kin;
}

DataTypes::Matrix44 At(float x, float y, float z) {
    DataTypes::Matrix44 m;
    m.SetTranslation(x, y, z);
    return m;
}

// The joints of a platform point, solved on a spare object.
void JointsOf(float x, float y, float z, float* q) {
    RobotKinematicDelta solver;
    for (int i = 0; i < 9; ++i) q[i] = 0;
    solver.InverseKin(At(x, y, z), q);
}

}  // namespace

TEST(Delta, InitNeedsNoRobotFileAndSetsTheBuiltInGeometry) {
    KinTest::ResetSeriousFail();
    LogCapture log;
    auto kin = MakeDelta();
    EXPECT_TRUE(log.Has("RKDelta: Init"));
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeNormal);
    EXPECT_EQ(kin->nrOfJoints, 3);
    EXPECT_EQ(kin->jointLimits[0][0], -90);
    EXPECT_EQ(kin->jointLimits[2][1], 120);
    EXPECT_EQ(kin->maxJointVelocities[8], 100);
    EXPECT_EQ(kin->accLinInc, 2000);
    EXPECT_EQ(kin->pose.GetTranslation().z, 300);
}

TEST(Delta, InverseValuesAndReach) {
    auto kin = MakeDelta();
    float q[9] = {};
    kin->InverseKin(At(0, 0, 300), q);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(q[i], 57.18, 0.01) << i;
    kin->InverseKin(At(0, 0, 320), q);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(q[i], 65.70, 0.01) << i;

    float ext[9] = {};
    EXPECT_EQ(ThrownCode([&] { kin->SetPosition(At(0, 0, 330), ext); }), 5);
    EXPECT_EQ(ThrownCode([&] { kin->SetPosition(At(0, 0, 320), ext); }), 0);
    EXPECT_NEAR(kin->joints[1], 65.70, 0.01);
}

TEST(Delta, SearchFindsThePoseAfterJumpsOfAnySize) {
    struct Case {
        float x, y, z;
    };
    // From the start pose (0, 0, 300): none, a jump past one search's 20 mm
    // reach, and a jump of some 190 mm as on a first cycle.
    const Case cases[] = {{0, 0, 300}, {30, -20, 280}, {-60, 45, 150}, {0, 0, 112.46f}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.x << ", " << c.y << ", " << c.z);
        auto kin = MakeDelta();
        float q[9];
        JointsOf(c.x, c.y, c.z, q);
        kin->SetJoints(q, true);
        EXPECT_LT(Distance(kin->pose.GetTranslation(), DataTypes::Vector3(c.x, c.y, c.z)), 0.05);
    }
    // All joints 0 (the controller's first actual joints) lie at Z 112.46 on the axis.
    auto kin = MakeDelta();
    const float zero[9] = {};
    kin->SetJoints(zero, false);
    EXPECT_LT(Distance(kin->pose.GetTranslation(), DataTypes::Vector3(0, 0, 112.46f)), 0.05);
}

TEST(Delta, SearchFollowsAPathOfSmallSteps) {
    // A leader solves a circular path; a follower turns the leader's joints
    // back into poses as the robot thread does with the actual joints.
    auto leader = MakeDelta();
    auto follower = MakeDelta();
    float ext[9] = {};
    double worst = 0;
    for (int n = 0; n <= 720; ++n) {
        const double a = n * M_PI / 180.0;
        const DataTypes::Matrix44 target = At(static_cast<float>(70 * std::cos(a)), static_cast<float>(70 * std::sin(a)),
                                              static_cast<float>(220 + 40 * std::sin(a / 2)));
        leader->SetPosition(target, ext);
        float q[9];
        leader->GetJoints(q);
        follower->SetJoints(q, true);
        worst = std::max(worst, Distance(follower->pose.GetTranslation(), target.GetTranslation()));
    }
    EXPECT_LT(worst, 0.05);
}

TEST(Delta, RandomRoundTripsWithAndWithoutTool) {
    std::mt19937 rng(17);
    std::uniform_real_distribution<float> xy(-70, 70), z(120, 290);
    for (bool withTool : {false, true}) {
        auto kin = MakeDelta();
        if (withTool) {
            DataTypes::Matrix44 t;
            t.SetRotationABCDeg2(30, 0, 180);
            t.SetTranslation(15, -10, 50);
            kin->tool.toolMatrix = t;
            kin->tool.inverseToolMatrix = t.Inverse();
        }
        float ext[9] = {};
        int solved = 0;
        for (int n = 0; n < 300; ++n) {
            const DataTypes::Matrix44 target = At(xy(rng), xy(rng), z(rng));
            if (ThrownCode([&] { kin->SetPosition(target, ext); }) != 0) continue;
            ++solved;
            float q[9];
            kin->GetJoints(q);
            auto follower = MakeDelta();
            follower->tool = kin->tool;
            follower->SetJoints(q, false);
            ASSERT_LT(Distance(follower->pose.GetTranslation(), target.GetTranslation()), 0.05)
                << "tool " << withTool << " target " << target.GetTranslation().ToString();
        }
        EXPECT_GT(solved, 200);
    }
}

TEST(Delta, ToolPoseStandsStillWhileTheJointsDo) {
    auto kin = MakeDelta();
    DataTypes::Matrix44 t;
    t.SetTranslation(0, 0, 50);
    kin->tool.toolMatrix = t;
    kin->tool.inverseToolMatrix = t.Inverse();
    float ext[9] = {};
    kin->SetPosition(At(20, 10, 250), ext);
    EXPECT_EQ(kin->pose.GetTranslation().z, 250);
    float q[9];
    kin->GetJoints(q);
    for (int cycle = 0; cycle < 5; ++cycle) {
        kin->SetJoints(q, false);
        EXPECT_LT(Distance(kin->pose.GetTranslation(), DataTypes::Vector3(20, 10, 250)), 0.05) << cycle;
    }
    // The platform point, 50 mm below the tool point, is what the arms hold.
    float p[9];
    JointsOf(20, 10, 200, p);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(q[i], p[i], 0.01) << i;
}

TEST(Delta, RefusalsLeaveTheSetPointUnchanged) {
    struct Case {
        const char* name;
        int code;
        std::function<void(RobotKinematicDelta&)> act;
    };
    float ext[9] = {};
    const Case cases[] = {
        {"beyond reach", 5, [&](RobotKinematicDelta& k) { k.SetPosition(At(0, 0, 330), ext); }},
        {"no real solution", 50, [&](RobotKinematicDelta& k) { k.SetPosition(At(0, 0, 30), ext); }},
        {"rod leaning sideways", 12, [&](RobotKinematicDelta& k) { k.SetPosition(At(0, 100, 180), ext); }},
        {"joint below its minimum", 13,
         [&](RobotKinematicDelta& k) {
             k.jointLimits[0][0] = -30;
             k.SetPosition(At(0, 0, 70), ext);
         }},
        {"joint above its maximum", 14,
         [&](RobotKinematicDelta& k) {
             k.jointLimits[1][1] = 60;
             k.SetPosition(At(0, 0, 310), ext);
         }},
        {"rod leaning, joints unchecked", 12,
         [&](RobotKinematicDelta& k) {
             float q[9];
             JointsOf(0, 100, 180, q);
             k.SetJoints(q, false);
         }},
        {"search without a solution", 5,
         [&](RobotKinematicDelta& k) {
             k.rodLength = 100;
             const float q[9] = {};
             k.SetJoints(q, false);
         }},
        {"virtual box", 34,
         [&](RobotKinematicDelta& k) {
             k.virtualBoxActive = true;
             k.virtualBoxMin = DataTypes::Vector3(-500, -500, 0);
             k.virtualBoxMax = DataTypes::Vector3(500, 500, 260);
             k.SetPosition(At(0, 0, 270), ext);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto kin = MakeDelta();
        kin->SetPosition(At(10, -5, 250), ext);
        KinTest::ExpectRefusedUnchanged(*kin, c.code, [&] { c.act(*kin); });
    }
}

TEST(Delta, CloneCarriesGeometryAndPose) {
    auto kin = MakeDelta();
    float ext[9] = {};
    kin->SetPosition(At(25, 5, 240), ext);
    kin->rodLength = 181;
    std::unique_ptr<RobotKinematic> copy(kin->clone());
    auto* delta = dynamic_cast<RobotKinematicDelta*>(copy.get());
    ASSERT_NE(delta, nullptr);
    EXPECT_EQ(delta->rodLength, 181);
    EXPECT_TRUE(delta->pose.Equals(kin->pose, 0));
    EXPECT_EQ(delta->joints[2], kin->joints[2]);
}
