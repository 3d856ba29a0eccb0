#include "kinematics/KinematicLog.h"

#include "common/LogSingleton.h"
#include "kinematics/RobotKinematic.h"

void KinematicLog::JointLines(const RobotKinematic& k, int count) {
    LogSingleton* log = LogSingleton::instance();
    for (int i = 0; i < count && i < 6; ++i) {
        log->addFormat("   Joint %d: Min %.1lf Max %.1lf MaxVel %.1lf JointOffset %.1lf JointDirection %.1lf", i,
                       k.jointLimits[i][0], k.jointLimits[i][1], k.maxJointVelocities[i], k.jointOffsets[i],
                       k.jointDirections[i]);
    }
    for (int j = 0; j < k.nrOfExternalAxes && j < 3; ++j) {
        const int i = 6 + j;
        log->addFormat("   ExtJoint %d: Min %.1lf Max %.1lf MaxVel %.1lf JointOffset %.1lf JointDirection %.1lf", j,
                       k.jointLimits[i][0], k.jointLimits[i][1], k.maxJointVelocities[i], k.jointOffsets[i],
                       k.jointDirections[i]);
    }
}
