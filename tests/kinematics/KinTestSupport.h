#pragma once
// Helpers of the kinematics tests: a clean serious-fail state and fixture variants.

#include <algorithm>
#include <cmath>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "common/LogSingleton.h"
#include "datatypes/Matrix44.h"
#include "support/LogCapture.h"
#include "kinematics/RobotKinematic.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <tinyxml2.h>

namespace KinTest {

using TestSupport::LogCapture;



inline void ResetSeriousFail() {
    LogSingleton::instance()->set_opMode(opModeNormal);
    LogSingleton::instance()->set_seriousFailReason("na");
}

// Tool files are looked up under the process's root directory.
inline std::string ToolPath(const std::string& name) {
    return LogSingleton::instance()->get_rootPath() + "Data/Tools/" + name;
}

inline void InstallToolFixture(const std::string& fixture) {
    TestSupport::CopyFixture(fixture, ToolPath(fixture));
}

// Writes the fixture to `path` after `edit` has changed its root element.
inline void WriteXmlVariant(const std::string& fixture, const std::string& path,
                            const std::function<void(tinyxml2::XMLElement* root)>& edit) {
    tinyxml2::XMLDocument doc;
    doc.LoadFile(TestSupport::FixturePath(fixture).c_str());
    if (edit) edit(doc.RootElement());
    TestSupport::WriteFile(path, "");
    doc.SaveFile(path.c_str());
}

// Deletes the named child of the root element.
inline std::function<void(tinyxml2::XMLElement*)> Without(const std::string& element) {
    return [element](tinyxml2::XMLElement* root) {
        if (tinyxml2::XMLElement* e = root->FirstChildElement(element.c_str())) root->DeleteChild(e);
    };
}

// Runs `f`, returns the int it throws, or 0 when it returns normally.
template <typename F>
int ThrownCode(F&& f) {
    try {
        f();
    } catch (int code) {
        return code;
    }
    return 0;
}

// Flange pointing straight down at (x, y, z).
inline DataTypes::Matrix44 PointingDown(float x, float y, float z) {
    DataTypes::Matrix44 m;
    m(0, 0) = -1;
    m(2, 2) = -1;
    m.SetTranslation(x, y, z);
    return m;
}

inline double Distance(const DataTypes::Vector3& a, const DataTypes::Vector3& b) {
    const double dx = a.x - b.x, dy = a.y - b.y, dz = a.z - b.z;
    return std::sqrt(dx * dx + dy * dy + dz * dz);
}

// `act` throws `code` and leaves the user joints and the pose of `kin` as they were.
template <typename F>
void ExpectRefusedUnchanged(RobotKinematic& kin, int code, F&& act) {
    const DataTypes::Matrix44 pose = kin.pose;
    float before[9];
    kin.GetJoints(before);
    EXPECT_EQ(ThrownCode(act), code);
    float after[9];
    kin.GetJoints(after);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(after[i], before[i]) << "joint " << i;
    EXPECT_TRUE(kin.pose.Equals(pose, 0));
}

}  // namespace KinTest
