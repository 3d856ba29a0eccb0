// A dependent linear external axis carries the delta or SCARA: joint
// set-points report the shifted pose, and Cartesian set-points take the
// shift off before solving and keep the external axis values.

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "KinTestSupport.h"
#include "hardware/ExternalAxis.h"
#include "kinematics/RobotKinematicDelta.h"
#include "kinematics/RobotKinematicDeltaLinear.h"
#include "kinematics/RobotKinematicSCARALRRR.h"
#include "kinematics/RobotKinematicSCARARRLR.h"
#include "kinematics/RobotKinematicSCARARRR.h"

TEST(DeltaScaraExternalAxis, ShiftIsAddedToPosesAndTakenOffTargets) {
    struct Case {
        const char* name;
        std::function<RobotKinematic*()> make;
        float q[9];  // user joints; E1 is the rail
    };
    const Case cases[] = {
        {"Delta",
         [] {
             auto* k = new RobotKinematicDelta();
             k->Init("Ext", "Delta", "", -1);
             return k;
         },
         {40, 55, 62, 0, 0, 0, 120}},
        {"DeltaLinear", [] { return new RobotKinematicDeltaLinear(); }, {120, 140, 90, 0, 0, 0, 120}},
        {"SCARA-LRRR",
         [] {
             auto* k = new RobotKinematicSCARALRRR();
             k->fourthAxis = true;
             return k;
         },
         {50, 20, -120, 10, 0, 0, 120}},
        {"SCARA-RRLR",
         [] {
             auto* k = new RobotKinematicSCARARRLR();
             k->fourthAxis = true;
             return k;
         },
         {50, 20, -120, 10, 0, 0, 120}},
        {"SCARA-RRR", [] { return new RobotKinematicSCARARRR(); }, {20, -40, 15, 0, 0, 0, 120}},
    };
    ExternalAxis rail;
    rail.kinematic = ExternalAxis::Dependent;
    rail.lz0 = 25;
    rail.directionAngleToY = 0;  // along +Y
    rail.min = -1000;
    rail.max = 1000;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<RobotKinematic> carried(c.make());
        std::unique_ptr<RobotKinematic> fixed(c.make());
        for (RobotKinematic* k : {carried.get(), fixed.get()}) k->cycleTimeMs = 4;
        carried->AddExternalAxis(rail);

        float still[9];
        std::copy(c.q, c.q + 9, still);
        still[6] = 0;
        fixed->SetJoints(still, false);
        carried->SetJoints(c.q, false);
        const DataTypes::Vector3 shift = carried->pose.GetTranslation() - fixed->pose.GetTranslation();
        EXPECT_NEAR(shift.x, 0, 0.05);
        EXPECT_NEAR(shift.y, 120, 0.05);
        EXPECT_NEAR(shift.z, 25, 0.05);

        std::unique_ptr<RobotKinematic> solver(carried->clone());
        float ext[9] = {0, 0, 0, 0, 0, 0, 120, 7, 8};
        solver->SetPosition(carried->pose, ext);
        float back[9];
        solver->GetJoints(back);
        for (int i = 0; i < solver->nrOfJoints; ++i) EXPECT_NEAR(back[i], c.q[i], 0.01) << i;
        EXPECT_EQ(back[6], 120);
        EXPECT_LT(KinTest::Distance(solver->pose.GetTranslation(), carried->pose.GetTranslation()), 0.05);
    }
}
