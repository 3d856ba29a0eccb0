// The delta and SCARA type names build their geometries; other spellings stay unknown.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "KinTestSupport.h"
#include "kinematics/KinematicFactory.h"
#include "kinematics/RobotKinematicDelta.h"
#include "kinematics/RobotKinematicDelta2Linear.h"
#include "kinematics/RobotKinematicDeltaLinear.h"
#include "kinematics/RobotKinematicSCARALRRR.h"
#include "kinematics/RobotKinematicSCARARRLR.h"
#include "kinematics/RobotKinematicSCARARRR.h"

namespace {

template <typename T>
bool Is(const std::unique_ptr<RobotKinematic>& kin) {
    return dynamic_cast<T*>(kin.get()) != nullptr;
}

}  // namespace

TEST(KinematicFactory, DeltaAndScaraTypesCreateTheirGeometries) {
    struct Case {
        const char* type;
        bool (*is)(const std::unique_ptr<RobotKinematic>&);
        int joints;
    };
    const Case cases[] = {
        {"Delta", &Is<RobotKinematicDelta>, 3},
        {"DeltaLinear", &Is<RobotKinematicDeltaLinear>, 3},
        {"Delta2Linear", &Is<RobotKinematicDelta2Linear>, 2},
        {"SCARA-LRRR", &Is<RobotKinematicSCARALRRR>, 4},
        {"SCARA-RRLR", &Is<RobotKinematicSCARARRLR>, 4},
        {"SCARA-RRR", &Is<RobotKinematicSCARARRR>, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        KinTest::ResetSeriousFail();
        std::unique_ptr<RobotKinematic> kin = KinematicFactory::Create(c.type);
        ASSERT_NE(kin, nullptr);
        EXPECT_TRUE(c.is(kin));
        EXPECT_EQ(kin->nrOfJoints, c.joints);
        EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeNormal);
        // Copies for path planning are of the same geometry.
        std::unique_ptr<RobotKinematic> copy(kin->clone());
        EXPECT_TRUE(c.is(copy));
    }
    for (const char* name : {"delta", "DELTALINEAR", "scara-rrr", "SCARA_LRRR", "SCARA-RRLR "}) {
        KinTest::ResetSeriousFail();
        EXPECT_EQ(KinematicFactory::Create(name), nullptr) << name;
        EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), "10 robot type unknown") << name;
    }
    KinTest::ResetSeriousFail();
}
