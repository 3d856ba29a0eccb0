#include "kinematics/LinearDeltaSetup.h"

#include "common/LogSingleton.h"
#include "kinematics/KinematicLog.h"

namespace LinearDeltaSetup {

void SetDefaults(RobotKinematic& kin) {
    for (int i = 0; i < RobotKinematic::maxJoints; ++i) {
        kin.maxJointVelocities[i] = 100;
        kin.maxJointAccelerations[i] = 100;
        kin.maxJointAccelerationIncs[i] = 100;
    }
    kin.accLin = 1000;
    kin.accLinInc = 2000;
    const float limits[][2] = {{-5, 500}, {-5, 500}, {-5, 300}, {-179.5f, 179.5f}};
    for (int i = 0; i < 4; ++i) {
        kin.jointLimits[i][0] = limits[i][0];
        kin.jointLimits[i][1] = limits[i][1];
    }
    for (int i = 6; i < RobotKinematic::maxJoints; ++i) {
        kin.jointLimits[i][0] = -179.5f;
        kin.jointLimits[i][1] = 179.5f;
    }
}

void Start(RobotKinematic& kin, const char* headerFormat) {
    LogSingleton* log = LogSingleton::instance();
    log->add(" ");
    log->addFormat(headerFormat, kin.robotName, kin.robotType);
    kin.pose = DataTypes::Matrix44();
    kin.pose(0, 0) = -1;
    kin.pose(2, 2) = -1;
    kin.pose.SetTranslation(0, 0, 300);
}

void LogJoints(const RobotKinematic& kin) {
    LogSingleton* log = LogSingleton::instance();
    for (int i = 0; i < kin.nrOfJoints; ++i) {
        log->addFormat(
            "   Joint %d:  Min %.1lf  Max %.1lf   MaxVel %.1lf   MaxAcc %.1lf   JointOffset %.1lf   JointDirection %.1lf",
            i, kin.jointLimits[i][0], kin.jointLimits[i][1], kin.maxJointVelocities[i], kin.maxJointAccelerations[i],
            kin.jointOffsets[i], kin.jointDirections[i]);
    }
    KinematicLog::JointLines(kin, 0);  // the external axes
}

}  // namespace LinearDeltaSetup
