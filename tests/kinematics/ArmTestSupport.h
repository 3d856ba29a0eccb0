#pragma once
// Helpers of the geometry tests beyond the six-axis arm: loading a geometry
// from a fixture, pose comparisons and round trips.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>

#include "KinTestSupport.h"
#include "datatypes/Matrix44.h"
#include "kinematics/RobotKinematic.h"
#include "support/TestSupport.h"

namespace ArmTest {

// A geometry initialised from a robot file, with a 4 ms cycle.
template <typename T>
std::unique_ptr<T> Load(const std::string& robotFile, const std::string& type = "Type") {
    auto kin = std::make_unique<T>();
    kin->Init("TestBot", type, robotFile, -1);
    kin->cycleTimeMs = 4;
    return kin;
}

template <typename T>
std::unique_ptr<T> LoadFixture(const std::string& fixture) {
    return Load<T>(TestSupport::FixturePath(fixture));
}

inline void UseTool(RobotKinematic& kin, const std::string& toolFixture) {
    KinTest::InstallToolFixture(toolFixture);
    kin.tool.Init(toolFixture);
}

inline double Distance(const DataTypes::Vector3& a, const DataTypes::Vector3& b) {
    const double dx = a.x - b.x, dy = a.y - b.y, dz = a.z - b.z;
    return std::sqrt(dx * dx + dy * dy + dz * dz);
}

// Largest difference of the rotation parts.
inline double RotationDifference(const DataTypes::Matrix44& a, const DataTypes::Matrix44& b) {
    double worst = 0;
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) worst = std::max(worst, static_cast<double>(std::fabs(a(r, c) - b(r, c))));
    }
    return worst;
}

inline ::testing::AssertionResult SamePose(const DataTypes::Matrix44& a, const DataTypes::Matrix44& b,
                                           double mm = 0.01, double rot = 1e-4) {
    const double d = Distance(a.GetTranslation(), b.GetTranslation());
    const double r = RotationDifference(a, b);
    if (d <= mm && r <= rot) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "poses differ by " << d << " mm, rotation " << r << "\n"
                                         << a.ToString() << "\n"
                                         << b.ToString();
}

// Flange pointing straight down at (x, y, z).
inline DataTypes::Matrix44 PointingDown(float x, float y, float z) {
    DataTypes::Matrix44 m;
    m(1, 1) = -1;
    m(2, 2) = -1;
    m.SetTranslation(x, y, z);
    return m;
}

// The user joints, pose and velocities of a geometry, to show that a refused set-point changed nothing.
struct Snapshot {
    float user[9];
    float velocities[9];
    DataTypes::Matrix44 pose;

    explicit Snapshot(const RobotKinematic& kin) : pose(kin.pose) {
        kin.GetJoints(user);
        for (int i = 0; i < 9; ++i) velocities[i] = kin.jointVelocities[i];
    }
    ::testing::AssertionResult Unchanged(const RobotKinematic& kin) const {
        float now[9];
        kin.GetJoints(now);
        for (int i = 0; i < 9; ++i) {
            if (now[i] != user[i]) return ::testing::AssertionFailure() << "joint " << i << " changed";
            if (kin.jointVelocities[i] != velocities[i]) {
                return ::testing::AssertionFailure() << "velocity " << i << " changed";
            }
        }
        if (!kin.pose.Equals(pose, 0.0f)) return ::testing::AssertionFailure() << "pose changed";
        return ::testing::AssertionSuccess();
    }
};

}  // namespace ArmTest
