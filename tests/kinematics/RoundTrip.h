#pragma once
// Inverse-of-forward round trips over random joint vectors, per arm configuration.

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <string>

#include "ArmTestSupport.h"
#include "kinematics/KinMath.h"

namespace ArmTest {

struct RoundTripOptions {
    int joints = 0;          // robot joints compared
    int wanted = 2000;       // accepted round trips per configuration
    double jointTol = 0.01;  // degrees or mm
    double mmTol = 0.01;
    double rotTol = 1e-4;
    uint32_t seed = 1;
    // Internal index of the elbow: within 2 degrees of fully folded the
    // elbow and shoulder angles are lost in the rounding of the pose.
    int elbow = -1;
};

// For each configuration (armFront, elbowUp), random joints within the
// limits are set, their pose solved again and compared. `isRealRefusal`
// tells whether a refused pose does lie at a singularity or beyond reach.
template <typename Arm>
void CheckRoundTrips(Arm& kin, const RoundTripOptions& o,
                     const std::function<bool(int code, const DataTypes::Matrix44& flange)>& isRealRefusal) {
    std::unique_ptr<RobotKinematic> probe(kin.clone());
    float limits[9][2];
    kin.GetMinMaxValues(limits);
    std::mt19937 rng(o.seed);
    for (const bool front : {true, false}) {
        for (const bool up : {true, false}) {
            SCOPED_TRACE(std::string(front ? "front" : "back") + (up ? ", elbow up" : ", elbow down"));
            int valid = 0, refused = 0;
            double worstJoint = 0, worstPos = 0;
            for (long attempt = 0; valid < o.wanted && attempt < 2000000; ++attempt) {
                float user[9] = {};
                for (int i = 0; i < o.joints; ++i) {
                    std::uniform_real_distribution<float> d(limits[i][0] + 0.01f, limits[i][1] - 0.01f);
                    user[i] = d(rng);
                }
                kin.SetJoints(user, false);
                if (kin.armFront != front || kin.elbowUp != up) continue;
                if (o.elbow >= 0 && std::fabs(KinMath::WrapDeg(kin.joints[o.elbow])) > 178.0) continue;
                const DataTypes::Matrix44 target = kin.pose;
                const DataTypes::Matrix44 flange = KinMath::ToMatrix(
                    KinMath::Mul(KinMath::FromMatrix(target), KinMath::FromMatrix(kin.tool.inverseToolMatrix)));
                float ext[9] = {};
                int code = 0;
                try {
                    kin.SetPosition(target, ext);
                } catch (int c) {
                    code = c;
                }
                if (code != 0) {
                    ASSERT_TRUE(isRealRefusal(code, flange)) << "code " << code << " for joints " << user[0] << " "
                                                             << user[1] << " " << user[2] << " " << user[3];
                    ++refused;
                    continue;
                }
                float back[9];
                kin.GetJoints(back);
                for (int i = 0; i < o.joints; ++i) {
                    const double e = std::fabs(static_cast<double>(back[i]) - user[i]);
                    worstJoint = std::max(worstJoint, e);
                    ASSERT_LE(e, o.jointTol) << "joint " << i << " of " << user[0] << " " << user[1] << " "
                                             << user[2] << " " << user[3] << " " << user[4];
                }
                probe->SetJoints(back, false);
                worstPos = std::max(worstPos, Distance(probe->pose.GetTranslation(), target.GetTranslation()));
                ASSERT_TRUE(SamePose(probe->pose, target, o.mmTol, o.rotTol));
                ++valid;
            }
            EXPECT_EQ(valid, o.wanted);
            EXPECT_LT(refused, valid) << "most poses refused";
            std::printf("  %s/%s: %d round trips (%d refused at a limit), worst joint %.1e, position %.1e mm\n",
                        front ? "front" : "back", up ? "up" : "down", valid, refused, worstJoint, worstPos);
        }
    }
}

}  // namespace ArmTest
