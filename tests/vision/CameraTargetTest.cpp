#include <gtest/gtest.h>

#include "vision/CameraTarget.h"

namespace {

using Camera::FoldAngle;
using Camera::LatestTarget;
using Camera::TargetResult;

TEST(CameraTarget, AnglesAreFoldedOnceWithTheBoundariesKept) {
    const std::pair<double, double> cases[] = {
        {0.0, 0.0},       {180.0, 180.0},   {-180.0, -180.0}, {180.5, -179.5}, {-180.5, 179.5},
        {360.0, 0.0},     {540.0, 180.0},   {541.0, 181.0},   {-541.0, -181.0}, {-720.0, -360.0},
    };
    for (const auto& [angle, expected] : cases) EXPECT_DOUBLE_EQ(FoldAngle(angle), expected) << angle;
}

TEST(CameraTarget, ReportedOnlyWhileValidAndConnected) {
    TargetResult stored;
    stored.position = DataTypes::Vector3(1.0f, 2.0f, 3.0f);
    stored.angle = 190.0;
    stored.modelClass = 4;
    struct Case {
        bool valid;
        bool connected;
    };
    for (const Case c : {Case{true, true}, Case{true, false}, Case{false, true}}) {
        LatestTarget latest;
        stored.valid = c.valid;
        latest.Store(stored);
        DataTypes::Vector3 position(9.0f, 9.0f, 9.0f), orientation(9.0f, 9.0f, 9.0f);
        int modelClass = 9;
        const bool shown = c.valid && c.connected;
        EXPECT_EQ(latest.Report(c.connected, position, orientation, modelClass), shown);
        EXPECT_EQ(latest.IsValid(), c.valid);
        EXPECT_FLOAT_EQ(position.x, shown ? 1.0f : 0.0f);
        EXPECT_FLOAT_EQ(position.z, shown ? 3.0f : 0.0f);
        EXPECT_FLOAT_EQ(orientation.x, shown ? -170.0f : 0.0f);
        EXPECT_FLOAT_EQ(orientation.y + orientation.z, 0.0f);
        EXPECT_EQ(modelClass, shown ? 4 : -1);
    }
}

}  // namespace
